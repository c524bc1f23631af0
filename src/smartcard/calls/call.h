#pragma once
// One relayed call as the dispatcher sees it: decode the ..._Call (once, when the relay reads
// it), carry it out, encode the ..._Return.
//
// A family of calls writes, for each call, a decoder and an executor:
//   std::expected<XCall, ReturnCode> decodeX(NdrReader&, CharForm);
//   XReturn executeX(const XCall&, CharForm, const Services&);
// XCall holds the fields of [MS-RDPESC]'s X_Call as the IDL names them; a decoder reads the whole
// call in wire order and returns an error only where it cannot read on (a count that disagrees
// with its field). A decoder prints nothing: the relay decodes a call when it reads it, before
// its turn, so a line about the call goes to NdrReader::say, and is said when the call is
// carried out. An executor reaches PC/SC, the card cache and the transmit counts only
// through the Services it is given. XReturn holds the fields of X_Return, ReturnCode first, with an
// `encode(NdrWriter&, CharForm) const` that lists them in wire order. A default XReturn is the
// zeroed structure (zero counts, null pointers).
//
// The dispatcher (typedCall below) answers every outcome with the call's own _Return, since a
// Windows server decodes the reply as that structure whatever its ReturnCode ([MS-RDPESC]
// 3.2.5.3): a call cut short is SCARD_E_INVALID_PARAMETER, a refused call its code, and any
// failure of the executor keeps only its ReturnCode, every other field zero.
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>
#include <type_traits>

#include "smartcard/calls/services.h"
#include "smartcard/smartcard.h"
#include "smartcard/wire/ioctls.h"
#include "smartcard/wire/ndr.h"

namespace kx_agent::smartcard {

struct CallHandler {
    // Decodes the call into `held` (its XCall, or the code it is refused with: a call cut short
    // is SCARD_E_INVALID_PARAMETER) and gives the PC/SC context it works on (0: none).
    uint64_t (*decode)(NdrReader& in, CharForm form, HeldCall& held);
    // Carries out the call `held` and encodes its _Return into `out`; gives its ReturnCode.
    ReturnCode (*run)(const HeldCall& held, NdrWriter& out, CharForm form,
                      const Services& services);
    // Encodes the call's _Return, zeroed, with `code`: a call the agent cannot take on.
    void (*refuse)(NdrWriter& out, CharForm form, ReturnCode code);
};

namespace detail {

// The context a call is ordered by: its REDIR_SCARDCONTEXT, or for a call on a card handle the
// handle's context, or the handle itself when the handle came without one.
template <class Call>
uint64_t contextOf(const Call& call) {
    if constexpr (requires { call.hCard; })
        return call.hCard.Context.value != 0 ? call.hCard.Context.value : call.hCard.value;
    else if constexpr (requires { call.Context; }) return call.Context.value;
    else return 0;
}

template <auto decode>
using CallOf = typename std::invoke_result_t<decltype(decode), NdrReader&, CharForm>::value_type;

template <auto decode, auto execute>
using ReturnOf =
    std::invoke_result_t<decltype(execute), const CallOf<decode>&, CharForm, const Services&>;

template <auto decode>
uint64_t decodeCall(NdrReader& in, CharForm form, HeldCall& held) {
    auto call = decode(in, form);
    if (in.failed()) held.refuse(rc::invalid_parameter);
    else if (!call) held.refuse(call.error());
    else {
        const uint64_t context = contextOf(*call);
        held.emplace(std::move(*call));
        return context;
    }
    return 0;
}

template <class Return>
Return failed(ReturnCode code) {
    Return answer{};
    answer.ReturnCode = code;
    return answer;
}

template <auto decode, auto execute>
ReturnCode run(const HeldCall& held, NdrWriter& out, CharForm form, const Services& services) {
    using Return = ReturnOf<decode, execute>;
    Return answer;
    if (held.refused() != rc::success) answer = failed<Return>(held.refused());
    else if (answer = execute(held.get<CallOf<decode>>(), form, services);
             answer.ReturnCode != rc::success)
        answer = failed<Return>(answer.ReturnCode);
    answer.encode(out, form);
    return answer.ReturnCode;
}

inline uint64_t readsNothing(NdrReader&, CharForm, HeldCall&) { return 0; }

template <class Return>
ReturnCode unsupported(const HeldCall&, NdrWriter& out, CharForm form, const Services&) {
    failed<Return>(rc::unsupported_feature).encode(out, form);
    return rc::unsupported_feature;
}

template <class Return>
void refuse(NdrWriter& out, CharForm form, ReturnCode code) {
    failed<Return>(code).encode(out, form);
}

}  // namespace detail

// The handler of a call carried out by `decode` and `execute`.
template <auto decode, auto execute>
inline constexpr CallHandler typedCall{detail::decodeCall<decode>, detail::run<decode, execute>,
                                       detail::refuse<detail::ReturnOf<decode, execute>>};

// The handler of a call that is known but not carried out: its own _Return, zeroed, with
// SCARD_E_UNSUPPORTED_FEATURE; nothing of the call is read.
template <class Return>
inline constexpr CallHandler unsupportedCall{detail::readsNothing, detail::unsupported<Return>,
                                             detail::refuse<Return>};

// One row of the dispatch table: an [MS-RDPESC] SCARD_IOCTL_ code, its name, its handler, its
// character form, how it is ordered beside the other calls of a connection that runs calls side
// by side, and whether it returns at once (it neither exchanges with a card nor waits for one or
// for a time-out: a connection in strict order then runs it on its own thread). Each family file
// lists the rows of its calls; a call in two character forms has one handler and two rows.
enum class Timing { waits, atOnce };
struct CallRow {
    uint32_t code;
    std::string_view name;
    const CallHandler* handler;
    CharForm form = CharForm::A;
    CallOrder::Kind kind = CallOrder::Kind::context;
    Timing timing = Timing::waits;
};

// The row of `code`, named as smartcard/wire/ioctls.h names it (a code it does not list does not
// compile).
constexpr CallRow row(uint32_t code, const CallHandler& handler, CharForm form = CharForm::A,
                      CallOrder::Kind kind = CallOrder::Kind::context,
                      Timing timing = Timing::waits) {
    return CallRow{code, findIoctl(code)->name, &handler, form, kind, timing};
}

// The rows of each family, one function per family file; the dispatcher (smartcard/framing.cpp)
// sorts them into one table.
std::span<const CallRow> contextCallRows();     // calls/context_calls.cpp
std::span<const CallRow> readerListRows();      // calls/reader_list.cpp
std::span<const CallRow> statusChangeRows();    // calls/status_change.cpp
std::span<const CallRow> locateCallRows();      // calls/locate_calls.cpp
std::span<const CallRow> cardConnectionRows();  // calls/card_connection.cpp
std::span<const CallRow> cardStatusRows();      // calls/card_status.cpp
std::span<const CallRow> cardQueryRows();       // calls/card_queries.cpp
std::span<const CallRow> transmitRows();        // calls/transmit.cpp
std::span<const CallRow> controlAttribRows();   // calls/control_attrib.cpp
std::span<const CallRow> cacheCallRows();       // calls/cache_calls.cpp
std::span<const CallRow> serviceCallRows();     // calls/service_calls.cpp

}  // namespace kx_agent::smartcard

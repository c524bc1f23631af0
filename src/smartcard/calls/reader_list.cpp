// Reader and group lists: SCARD_IOCTL_LISTREADERSA/W and SCARD_IOCTL_LISTREADERGROUPSA/W. Both
// answer one multi-string (each name ended by a NUL, the list by a further NUL): 8-bit
// characters in the A form, UTF-16LE in the W form, its count in bytes either way.
//
// ListReaders_Call: REDIR_SCARDCONTEXT, cBytes, the mszGroups pointer, fmszReadersIsNULL,
// cchReaders; deferred: the context bytes, then (mszGroups not null) the groups array.
// ListReaderGroups_Call: REDIR_SCARDCONTEXT, fmszGroupsIsNULL, cchGroups; deferred: the context
// bytes. Both answer ListReaders_Return: ReturnCode, cBytes, the msz pointer, then the list as a
// conformant byte array.
//
// Reader groups are not supported: the groups are skipped unexamined and PC/SC always lists the
// readers of every group ("SCard$AllReaders").
//
// The client's buffer size (cchReaders, cchGroups) counts characters of its form, which are not
// pcsc-lite's UTF-8 bytes: the whole list is fetched, converted, and then held against it.
// SCARD_AUTOALLOCATE (0xFFFFFFFF) takes any list.
//
// A length query, asked with a size of 0 or with fmsz...IsNULL, is answered with the list itself
// as for any list: cBytes the length and msz pointing to the names. [MS-RDPESC] 2.2.2.4 wants a
// null msz for a size of 0, but deployed servers (xrdp) skip to the array and take its
// conformant count as the length, and hand their programs what it holds: a null msz read that
// way is a length of 0 (no reader at all), and zeros are readers without names. A server that
// reads cBytes gets the same number either way.
#include "smartcard/pcsc/reader_list.h"

#include <algorithm>
#include <vector>

#include "smartcard/calls/call.h"

namespace kx_agent::smartcard {

namespace {

// ListReaders_Return and ListReaderGroups_Return (one structure in the IDL).
struct ListReadersReturn {
    smartcard::ReturnCode ReturnCode = rc::success;
    std::vector<uint8_t> list{};  // the multi-string in the call's form; cBytes is its length

    void encode(NdrWriter& out, CharForm) const {
        out.u32(ReturnCode.value());
        out.u32(static_cast<uint32_t>(list.size()));  // cBytes
        // A success always points to its list (a length query's too); the zeroed form is null.
        const bool msz = ReturnCode == rc::success;
        out.pointer(msz);
        if (msz) out.conformant(list);
    }
};

struct ListReadersCall {
    REDIR_SCARDCONTEXT Context;
    uint32_t cBytes = 0;
    uint32_t mszGroups = 0;
    uint32_t fmszReadersIsNULL = 0;
    uint32_t cchReaders = 0;
};

struct ListReaderGroupsCall {
    REDIR_SCARDCONTEXT Context;
    uint32_t fmszGroupsIsNULL = 0;
    uint32_t cchGroups = 0;
};

std::expected<ListReadersCall, ReturnCode> decodeListReaders(NdrReader& in, CharForm) {
    ListReadersCall call;
    call.Context.readFixed(in);
    call.cBytes = in.u32();
    call.mszGroups = in.u32();
    call.fmszReadersIsNULL = in.u32();
    call.cchReaders = in.u32();
    if (call.cBytes > range::multiString) return std::unexpected(rc::invalid_parameter);
    if (auto deferred = call.Context.readDeferred(in); !deferred)
        return std::unexpected(deferred.error());
    // The groups are never examined; the call must still hold the bytes it announces.
    if (call.mszGroups != 0) in.skip(in.u32());
    return call;
}

std::expected<ListReaderGroupsCall, ReturnCode> decodeListReaderGroups(NdrReader& in, CharForm) {
    ListReaderGroupsCall call;
    call.Context.readFixed(in);
    call.fmszGroupsIsNULL = in.u32();
    call.cchGroups = in.u32();
    if (auto deferred = call.Context.readDeferred(in); !deferred)
        return std::unexpected(deferred.error());
    return call;
}

// Without a context: SCardListReaders and SCardListReaderGroups search "not limited to any
// context" on Windows, where pcsc-lite refuses a null context; the agent lists with a context
// of its own, released at once.
std::expected<std::vector<uint8_t>, LONG> listWithoutContext(Pcsc& pcsc, ListOf what,
                                                             CharForm form) {
    SCARDCONTEXT own = 0;
    LONG result = pcsc.establish_context(SCARD_SCOPE_SYSTEM, &own);
    if (result != SCARD_S_SUCCESS) return std::unexpected(result);
    auto list = listIn(pcsc, own, what, form);
    pcsc.release_context(own);
    return list;
}

// The list in the client's form, held against the characters its buffer takes.
ListReadersReturn answerList(Pcsc& pcsc, ListOf what, const REDIR_SCARDCONTEXT& context,
                             CharForm form, bool lengthOnly, uint32_t cch) {
    if (context.cbContext != 0 && context.value == 0) return {rc::invalid_handle};
    auto bytes = context.cbContext == 0
                     ? listWithoutContext(pcsc, what, form)
                     : listIn(pcsc, static_cast<SCARDCONTEXT>(context.value), what, form);
    if (!bytes) return {ReturnCode::of(bytes.error())};
    if (bytes->size() > range::returnedMultiString) return {rc::no_memory};
    // A length query (lengthOnly, or a buffer of 0) gets the list as well: see the top.
    if (!lengthOnly && cch != 0 && cch != rc::autoallocate && bytes->size() / unitSize(form) > cch)
        return {rc::insufficient_buffer};
    return {rc::success, std::move(*bytes)};
}

ListReadersReturn executeListReaders(const ListReadersCall& call, CharForm form,
                                     const Services& services) {
    return answerList(services.pcsc, ListOf::readers, call.Context, form,
                      call.fmszReadersIsNULL != 0, call.cchReaders);
}

ListReadersReturn executeListReaderGroups(const ListReaderGroupsCall& call, CharForm form,
                                          const Services& services) {
    return answerList(services.pcsc, ListOf::groups, call.Context, form, call.fmszGroupsIsNULL != 0,
                      call.cchGroups);
}

}  // namespace

const CallHandler listReadersCall = typedCall<decodeListReaders, executeListReaders>;
const CallHandler listReaderGroupsCall = typedCall<decodeListReaderGroups, executeListReaderGroups>;

constexpr std::array kRows = {
    row(ioctl::listReaderGroupsA, listReaderGroupsCall, CharForm::A, CallOrder::Kind::context,
        Timing::atOnce),
    row(ioctl::listReaderGroupsW, listReaderGroupsCall, CharForm::W, CallOrder::Kind::context,
        Timing::atOnce),
    row(ioctl::listReadersA, listReadersCall, CharForm::A, CallOrder::Kind::context,
        Timing::atOnce),
    row(ioctl::listReadersW, listReadersCall, CharForm::W, CallOrder::Kind::context,
        Timing::atOnce),
};

std::span<const CallRow> readerListRows() { return kRows; }

}  // namespace kx_agent::smartcard

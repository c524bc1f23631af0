#pragma once
// Smart-card redirection calls ([MS-RDPESC]) relayed from the web client to PC/SC.
//
// A relayed call is: 03 03, IoControlCode, DeviceId, CompletionId (32-bit little-endian each),
// then the call's NDR type serialisation version 1 stream ([MS-RPCE] 2.2.6): an 8-byte Common
// Type Header, an 8-byte Private Type Header, and the ..._Call structure.
//
// Its reply is 03 03 followed by an [MS-RDPEFS] device I/O completion: Component 0x4472,
// PacketId 0x4943, DeviceId, CompletionId, IoStatus 0, OutputBufferLength, then the NDR headers
// and the ..._Return structure, whose first field is the 32-bit ReturnCode. The outcome of a
// call travels only in ReturnCode; IoStatus is always 0.
//
// How NDR lays out the calls and returns is explained once, in smartcard/wire/ndr.h; smartcard/calls/call.h
// says what a family of calls writes for each call.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "data_view.h"
#include "smartcard/held_call.h"
#include "smartcard/wire/char_form.h"

namespace kx_agent::smartcard {

using data_view::DataView;
struct Services;  // smartcard/calls/services.h

// A relayed call's head: 03 03, IoControlCode, DeviceId, CompletionId.
inline constexpr std::size_t kCallHeadSize = 14;

// What a call has to wait for when a connection carries out its calls side by side: the calls
// before it on the same PC/SC context (a call on a card handle names its context as well). A
// call whose context cannot be read, or that names none, waits for nothing.
struct CallOrder {
    enum class Kind {
        independent,  // touches no context (establish, unsupported and unknown calls)
        context,      // runs after the earlier calls on `context`
        cancel,       // runs at once, beside the wait on `context` that it ends
        // As `context`, and it ends a transaction that calls on other contexts may wait for:
        // it must not wait for a place behind them (EndTransaction).
        endTransaction,
    };
    Kind kind = Kind::independent;
    uint64_t context = 0;
};

// The kinds of binary message a relay receives: 03 01 (handshake, optionally followed by one
// byte of flags), 03 03 (a call, at least kCallHeadSize bytes) and anything else.
enum class MessageKind { handshake, call, unrecognised };

struct CallRow;  // smartcard/calls/call.h

// A call's head as its message holds it, and the dispatch row of its code: all that an answer
// needs to be framed.
struct CallHead {
    uint32_t ioControlCode = 0;
    uint32_t deviceId = 0;
    uint32_t completionId = 0;
    const CallRow* row = nullptr;  // null: a code the agent does not know
};

// One binary message, decoded once, as soon as it is read: what kind it is and, for a call, its
// head and row, the typed call, and what the relay orders and places it by. Carrying the call
// out later decodes nothing again.
//
// It refers to the bytes of its message (`bytes`, and the byte arrays of the typed call): they
// must outlive it where they are (moving the vector that holds them does not move them).
struct DecodedMessage {
    MessageKind kind = MessageKind::unrecognised;
    std::span<const uint8_t> bytes;  // the whole message
    std::optional<uint8_t> flags;    // a handshake: the flags it offers, if any
    bool cutShort = false;           // unrecognised: 03 03 without the 14 bytes of a call's head
    // A call:
    CallHead head;
    CallOrder order;
    // The context whose calls run one after another with this one when calls run side by side
    // (a call ordered by its context, or an EndTransaction); 0: none.
    uint64_t lane = 0;
    // It neither exchanges with a card nor waits for one or for a time-out (a context, a list, a
    // status, the cache): a connection in strict order carries it out on its own thread rather
    // than handing it to a worker.
    bool atOnce = false;
    HeldCall call;
    // A line the call says when it is carried out (a context count that disagrees, say); the
    // decode itself says nothing, as a call is decoded before its turn comes.
    std::string said;

    // The [MS-RDPESC] name of a call's code ("SCARD_IOCTL_STATUSW"); empty when unknown.
    std::string_view name() const;
    // Carries out the call with `services` (smartcard/calls/services.h) and leaves exactly one
    // complete reply in `reply`; gives the _Return's ReturnCode.
    ReturnCode run(DataView& reply, const Services& services) const;
};
DecodedMessage decode(const std::vector<uint8_t>& message);

// Decodes the call in `message` (which starts with 03 03 and holds at least the 14 bytes up to
// CompletionId), carries it out with `services` and leaves exactly one complete reply in
// `reply`.
void process_smartcard(const std::vector<uint8_t>& message, DataView& reply,
                       const Services& services);
// Answers the call of `head` without carrying it out: its own _Return, zeroed, with `code`
// (SCARD_E_NO_MEMORY when the agent has no thread to run it on, say).
void refuse_smartcard(const CallHead& head, DataView& reply, ReturnCode code);
// The answer to the 03 01 handshake message: 03 02.
void handshake(std::vector<uint8_t>& reply);

}  // namespace kx_agent::smartcard

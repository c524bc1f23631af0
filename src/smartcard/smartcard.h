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
#include <span>
#include <string_view>
#include <vector>

#include "data_view.h"
#include "smartcard/wire/char_form.h"

namespace kx_agent::smartcard {

using data_view::DataView;

// A relayed call's head: 03 03, IoControlCode, DeviceId, CompletionId.
inline constexpr std::size_t kCallHeadSize = 14;
// A reply's ReturnCode: after 03 03, the device I/O completion head (16 bytes) and the NDR type
// headers (16 bytes), the _Return's first field.
inline constexpr std::size_t kReturnCodeOffset = 38;

// Decodes the call in `message` (which starts with 03 03 and holds at least the 14 bytes up to
// CompletionId), carries it out with `services` (smartcard/calls/services.h) and leaves exactly one
// complete reply in `reply`.
struct Services;
void process_smartcard(const std::vector<uint8_t>& message, DataView& reply,
                       const Services& services);
// Answers the call in `message` without carrying it out: its own _Return, zeroed, with `code`
// (SCARD_E_NO_MEMORY when the agent has no thread to run it on, say).
void refuse_smartcard(const std::vector<uint8_t>& message, DataView& reply, uint32_t code);
// The answer to the 03 01 handshake message: 03 02.
void handshake(std::vector<uint8_t>& reply);
// The [MS-RDPESC] name of an I/O control code ("SCARD_IOCTL_STATUSW"); empty when unknown.
std::string_view callName(uint32_t ioControlCode);

// What a call has to wait for when a connection carries out its calls side by side: the calls
// before it on the same PC/SC context (a call on a card handle names its context as well).
// Read from the call in `message` (03 03 and the rest) without side effects; a call whose
// context cannot be read, or that names none, waits for nothing.
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
CallOrder callOrder(const std::vector<uint8_t>& message);

// Whether the call of `message` returns at once: it neither exchanges with a card nor waits for
// one or for a time-out (a context, a list, a status, the cache). A connection in strict order
// carries such a call out on its own thread rather than handing it to a worker.
bool returnsAtOnce(const std::vector<uint8_t>& message);

}  // namespace kx_agent::smartcard

#pragma once
// Helpers that the call handlers share: the reply head, reference decoding and the check that
// a call was read in full before PC/SC is called.
#include <cstdint>
#include <expected>
#include <span>

#include "smartcard/return_codes.h"
#include "smartcard/smartcard.h"

namespace kx_agent::smartcard {

// Size of the reply in front of the ObjectBuffer: prefix (2) and reply head (36).
inline constexpr std::size_t kReplyHeadSize = 38;

// Declares the reply length (38 + objectBufferLength) and writes the reply head: Component,
// PacketId, DeviceId and CompletionId place holders, IoStatus 0, OutputBufferLength and the two
// NDR type headers. The handler then writes the body, ReturnCode first.
void writeReplyHead(DataView& reply, uint32_t objectBufferLength);

// True, with a Long_Return reply carrying SCARD_E_INVALID_PARAMETER written, when the call was
// shorter than what the handler read. Every handler asks this before it calls PC/SC.
bool answeredTruncated(DataView& request, DataView& reply);

// The Return structure shared by the calls that answer one byte array (ListReaders_Return,
// Control_Return, GetAttrib_Return): ReturnCode 0, the byte count, a referent id and the
// conformant array of `bytes`, padded to a multiple of `alignment`.
void writeByteArrayReturn(DataView& reply, uint32_t referent, std::span<const uint8_t> bytes,
                          std::size_t alignment);

// Reads `count` reference bytes and decodes them with as_u32_le (4 or 8 bytes give a value,
// any other length 0).
uint64_t readReference(DataView& request, uint32_t count);

// Handle decoding of the calls on a card handle: the context count must equal cbContext, the
// handle count cbHandle (else SCARD_E_INVALID_VALUE); a handle value of 0 is
// SCARD_E_INVALID_HANDLE. No padding is skipped between the two arrays.
struct CardReference {
    uint64_t context;
    uint64_t handle;
};
std::expected<CardReference, uint32_t> decodeCardReference(DataView& request, uint32_t cbContext,
                                                           uint32_t cbHandle);

}  // namespace kx_agent::smartcard

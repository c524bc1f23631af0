#pragma once
// NDR of the [MS-RDPESC] calls and returns, read and written in one place.
//
// Each call is an ..._Call structure, each answer an ..._Return structure, serialised with NDR
// type serialisation version 1 ([MS-RPCE] 2.2.6) inside one object buffer:
// - Integers are little-endian; a 32-bit field is aligned to 4 from the start of the object
//   buffer, and the object buffer is padded to a multiple of 8 (2.2.6.2).
// - A pointer in the fixed part of a structure is a 32-bit referent id, 0 for null; the data it
//   points to is deferred: it follows the whole fixed part, in field order, depth first (a
//   pointee's own pointers follow that pointee). Referent ids are 0x00020000, 0x00020004, ... in
//   the order the non-null pointers are written.
// - A pointed-to array is conformant: its maximum count (a 32-bit word), then its elements. A
//   string is conformant and varying: maximum count, offset, actual count, then the characters.
// - REDIR_SCARDCONTEXT is cbContext and the pbContext pointer; REDIR_SCARDHANDLE is a
//   REDIR_SCARDCONTEXT, cbHandle and the pbHandle pointer. Their bytes are deferred arrays, the
//   context's first. pcsc-lite's SCARDCONTEXT and SCARDHANDLE are 64-bit: a value goes to the
//   client as 8 bytes and comes back as 4 or 8.
//
// The reader is the sticky bounded cursor of DataView: a read past the end gives zeros and fails
// it for good, so a decoder reads its whole call in wire order and the dispatcher checks once.
// The writer owns every rule above on the way out: the handlers fill in a _Return structure and
// its encode() lists the fields; no handler counts a length, numbers a referent or pads.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "data_view.h"
#include "smartcard/wire/char_form.h"
#include "smartcard/wire/return_codes.h"

namespace kx_agent::smartcard {

using data_view::DataView;

class NdrReader {
public:
    // Reads from the view's position, which is the start of the object buffer.
    explicit NdrReader(DataView& view) : view_(view), base_(view.position) {}

    // A 32-bit field, aligned to 4.
    uint32_t u32();
    // `count` bytes as they stand (a fixed array, or the elements of a conformant one); empty
    // and failed when the call does not hold them.
    std::span<const uint8_t> bytes(std::size_t count);
    void skip(std::size_t count);
    void align(std::size_t alignment);
    // The deferred conformant byte array of a field that announced `size` bytes: its maximum
    // count must be that size, else SCARD_E_INVALID_VALUE (`sent`, when given, receives the
    // count as sent). The bytes stay in the message; a call that does not hold them fails.
    std::expected<std::span<const uint8_t>, ReturnCode> conformant(uint32_t size,
                                                                   uint32_t* sent = nullptr);
    // Two byte arrays of [MS-RDPESC] calls are read by other rules, as Windows servers send them:
    // - `sized`: its own count is its length, whatever field announced it (Control's input);
    //   a count above `bound` is SCARD_E_INVALID_PARAMETER, as the field's [range] would be;
    // - `uncompared`: `size` bytes follow a count that is read and not compared (the extra
    //   bytes of Transmit's send PCI).
    std::expected<std::span<const uint8_t>, ReturnCode> sized(uint32_t bound);
    std::span<const uint8_t> uncompared(uint32_t size);
    // The maximum count of a deferred conformant array of `size` structures, by the same rule.
    std::expected<void, ReturnCode> arrayCount(uint32_t size);
    // A conformant varying string (maximum count, offset, actual count L, L characters, then
    // padding to a multiple of 4): its characters before the first NUL, in UTF-8. The maximum
    // count and offset are not examined. A count the call cannot hold fails the reader and gives
    // SCARD_E_INVALID_PARAMETER, as does a W string that does not convert.
    std::expected<std::string, ReturnCode> string(CharForm form);
    // A multi-string carried as a conformant byte array (count in bytes, then the bytes; no
    // padding is skipped after it), in UTF-8 with all its NULs. A count the call cannot hold
    // fails the reader and gives SCARD_E_INVALID_PARAMETER, as does W text that does not convert.
    std::expected<std::string, ReturnCode> multiString(CharForm form);

    bool failed() const { return view_.failed(); }
    std::size_t remaining() const { return view_.remaining(); }
    // Marks the call as cut short (a count that the call cannot hold, say).
    void fail();
    // A line about the call, said when the call is carried out rather than now: a call is
    // decoded when the relay reads it, before its turn comes.
    void say(std::string line) { said_ = std::move(line); }
    std::string takeSaid() { return std::move(said_); }

private:
    DataView& view_;
    int32_t base_;
    std::string said_;
};

class NdrWriter {
public:
    // Appends at the view's position, which becomes the start of the object buffer.
    explicit NdrWriter(DataView& view) : view_(view), base_(view.position) {}

    void u32(uint32_t value);
    // A pointer field: the next referent id when `present`, else 0 (null).
    void pointer(bool present);
    // A fixed array of bytes, written as it stands.
    void bytes(std::span<const uint8_t> value);
    void zeros(std::size_t count);
    // A deferred conformant array of bytes: maximum count, then the bytes.
    void conformant(std::span<const uint8_t> value);
    // Pads the object buffer to a multiple of 8 and gives its length.
    uint32_t finish();

private:
    void align(std::size_t alignment);

    DataView& view_;
    int32_t base_;
    uint32_t referents_ = 0;
};

// The two NDR type headers in front of a call's object buffer ([MS-RPCE] 2.2.6.1 and 2.2.6.2).
// The Common Type Header must say version 1, little-endian, 8 bytes (01 10 08 00): a stream in
// another form would be misread, so the view is failed and the call refused as cut short. The
// fillers and the Private header's ObjectBufferLength are not needed: the object buffer is read
// as far as its call goes, each read held against what the message holds.
void readTypeHeaders(DataView& request);

// REDIR_SCARDCONTEXT as a call carries it.
struct REDIR_SCARDCONTEXT {
    uint32_t cbContext = 0;
    uint32_t pbContext = 0;  // referent id; 0: no context bytes follow
    uint32_t count = 0;      // the deferred array's count as sent
    uint64_t value = 0;      // the context, 0 when none or not of 4 or 8 bytes

    void readFixed(NdrReader& in);
    // The deferred bytes, when pbContext is not null. A cbContext beyond its range is
    // SCARD_E_INVALID_PARAMETER, a count that is not cbContext SCARD_E_INVALID_VALUE.
    std::expected<void, ReturnCode> readDeferred(NdrReader& in);
};

// REDIR_SCARDHANDLE as a call carries it.
struct REDIR_SCARDHANDLE {
    REDIR_SCARDCONTEXT Context;
    uint32_t cbHandle = 0;
    uint32_t pbHandle = 0;
    uint64_t value = 0;  // the card handle

    void readFixed(NdrReader& in);
    // The context's bytes, then the handle's. A cb field beyond its range (the context's
    // included) is SCARD_E_INVALID_PARAMETER, a count that is not its cb field
    // SCARD_E_INVALID_VALUE, a handle of 0 SCARD_E_INVALID_HANDLE.
    std::expected<void, ReturnCode> readDeferred(NdrReader& in);
};

// A context or card handle as a _Return hands it out: 8 bytes when present, else cb 0 and a
// null pointer.
void writeReference(NdrWriter& out, bool present);
void writeReferenceBytes(NdrWriter& out, bool present, uint64_t value);

// The value in 4 or 8 little-endian bytes; any other length gives 0.
uint64_t referenceValue(std::span<const uint8_t> bytes);

// A byte buffer that a _Return carries as a length and a pointer (cbX, then pbX) with its bytes
// deferred: the buffer itself, or for a length query its length and a null pointer.
// Control_Return, GetAttrib_Return, ReadCache_Return, State_Return and Transmit_Return hold one.
struct LengthOrBuffer {
    uint32_t length = 0;  // the length when no buffer goes back
    std::optional<std::vector<uint8_t>> bytes{};

    // The length (the buffer's, when there is one) and the pointer, in the fixed part.
    void encodeFixed(NdrWriter& out) const;
    // The conformant array, when there is one, after the fixed part.
    void encodeDeferred(NdrWriter& out) const;
};

// Long_Return: ReturnCode alone. The answer of the calls whose return is a bare code.
struct LongReturn {
    smartcard::ReturnCode ReturnCode = rc::success;
    void encode(NdrWriter& out, CharForm) const { out.u32(ReturnCode.value()); }
};

// ReturnCode, then a length or buffer: the whole return of Control (cbOutBufferSize,
// pvOutBuffer), GetAttrib (cbAttrLen, pbAttr) and ReadCache (cbDataLen, pbData).
struct LengthOrBufferReturn {
    smartcard::ReturnCode ReturnCode = rc::success;
    LengthOrBuffer buffer{};
    void encode(NdrWriter& out, CharForm) const {
        out.u32(ReturnCode.value());
        buffer.encodeFixed(out);
        buffer.encodeDeferred(out);
    }
};

// Bytes that bring `length` up to the next multiple of `alignment`.
inline std::size_t padding(std::size_t length, std::size_t alignment) {
    std::size_t rest = length % alignment;
    return rest == 0 ? 0 : alignment - rest;
}

// The fields every call reads and writes, where the compiler can see them.

inline void NdrReader::skip(std::size_t count) {
    if (count > remaining()) return fail();
    view_.skipPositionRead(static_cast<int32_t>(count));
}

inline void NdrReader::align(std::size_t alignment) {
    skip(padding(static_cast<std::size_t>(view_.position - base_), alignment));
}

inline uint32_t NdrReader::u32() {
    align(4);
    return view_.getLittleEndian32();
}

inline void NdrWriter::align(std::size_t alignment) {
    view_.skipPositionWrite(padding(static_cast<std::size_t>(view_.position - base_), alignment));
}

inline void NdrWriter::u32(uint32_t value) {
    align(4);
    view_.setLittleEndian32(value);
}

}  // namespace kx_agent::smartcard

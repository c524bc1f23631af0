// SCARD_IOCTL_LISTREADERSA: the names of the attached readers as one multi-string of 8-bit
// characters (each name ended by a NUL, the list by a further NUL).
//
// ListReaders_Call: REDIR_SCARDCONTEXT, cBytes, mszGroups referent id, fmszReadersIsNULL,
// cchReaders; deferred: the context bytes, then (mszGroups not null) the groups array.
// ListReaders_Return: ReturnCode, cBytes, msz referent id, then the list as a conformant array
// padded to a multiple of 8.
//
// Reader groups are not supported: the groups are skipped unexamined and PC/SC always lists the
// readers of every group.
#include <expected>
#include <vector>

#include "smartcard/ndr.h"
#include "smartcard/pcsc.h"

namespace kx_agent::smartcard {
namespace {

constexpr uint32_t kMultiStringReferent = 0x00020000;
constexpr uint32_t kNoMemory = 0x80100006;            // SCARD_E_NO_MEMORY
constexpr uint32_t kInsufficientBuffer = 0x80100008;  // SCARD_E_INSUFFICIENT_BUFFER
// SCARD_AUTOALLOCATE as the 32-bit cchReaders carries it; pcsc-lite's own is a 64-bit DWORD.
constexpr uint32_t kAutoAllocate = 0xFFFFFFFF;

// pcsc-lite serves at most 16 readers with names of at most 128 bytes. The bound keeps a
// client's huge cchReaders, or a service reporting an absurd length, from making the agent
// allocate (or send) without limit.
constexpr DWORD kMaxReaderList = 64 * 1024;

using ReaderList = std::expected<std::vector<uint8_t>, uint32_t>;

// The byte length of the list, asked with a null buffer.
std::expected<DWORD, uint32_t> listLength(SCARDCONTEXT context, uint32_t cchReaders) {
    // pcsc-lite reads SCARD_AUTOALLOCATE as "allocate into the buffer", which a null buffer
    // cannot receive; a length query needs no size at all.
    DWORD length = cchReaders == kAutoAllocate ? 0 : cchReaders;
    LONG result = pcsc().list_readers(context, nullptr, nullptr, &length);
    if (result != SCARD_S_SUCCESS) return std::unexpected(static_cast<uint32_t>(result));
    if (length > kMaxReaderList) return std::unexpected(kNoMemory);
    return length;
}

// The list in a buffer of `size` bytes, PC/SC being told exactly that size, so a list that
// does not fit is PC/SC's own SCARD_E_INSUFFICIENT_BUFFER.
ReaderList fillList(SCARDCONTEXT context, DWORD size) {
    // One byte more than announced keeps the pointer non-null for a size of 0, which pcsc-lite
    // would otherwise take for a length query.
    std::vector<uint8_t> buffer(size + 1);
    DWORD length = size;
    LONG result =
        pcsc().list_readers(context, nullptr, reinterpret_cast<char*>(buffer.data()), &length);
    if (result != SCARD_S_SUCCESS) return std::unexpected(static_cast<uint32_t>(result));
    // A length beyond the buffer cannot have been written into it.
    if (length > size) return std::unexpected(kInsufficientBuffer);
    buffer.resize(length);
    return buffer;
}

ReaderList readerList(SCARDCONTEXT context, uint32_t cchReaders) {
    if (cchReaders <= kMaxReaderList) return fillList(context, cchReaders);
    // SCARD_AUTOALLOCATE or a size not worth allocating: the client can take any list, so ask
    // for the length and then for the list in a buffer of that length. A reader plugged in
    // between the two calls makes the second one too small; ask again.
    ReaderList list = std::unexpected(kInsufficientBuffer);
    for (int attempt = 0; attempt < 3 && !list && list.error() == kInsufficientBuffer;
         ++attempt) {
        auto length = listLength(context, 0);
        if (!length) return std::unexpected(length.error());
        list = fillList(context, *length);
    }
    return list;
}

}  // namespace

void listReadersA(DataView& request, DataView& reply) {
    readCommonTypeHeader(request);
    readPrivateTypeHeader(request);
    ScardReference ref = readScardContext(request);
    request.getLittleEndian32();  // cBytes: the groups array carries its own count
    uint32_t mszGroups = request.getLittleEndian32();
    uint32_t fmszReadersIsNULL = request.getLittleEndian32();
    uint32_t cchReaders = request.getLittleEndian32();

    // This call's context decoding: a count that differs from cbContext leaves no context
    // (bytes unread), which is answered SCARD_E_INVALID_HANDLE, not SCARD_E_INVALID_VALUE.
    uint64_t context = 0;
    if (ref.cb != 0 && request.getLittleEndian32() == ref.cb)
        context = readReference(request, ref.cb);
    if (answeredTruncated(request, reply)) return;
    if (context == 0) {
        longReturn(rc::invalid_handle, reply);
        return;
    }
    if (mszGroups != 0) {
        // The groups are never examined; the message must still hold the bytes it announces.
        request.getSpan(request.getLittleEndian32());
    }
    if (answeredTruncated(request, reply)) return;

    auto scardContext = static_cast<SCARDCONTEXT>(context);
    if (fmszReadersIsNULL != 0) {
        auto length = listLength(scardContext, cchReaders);
        if (!length) return longReturn(length.error(), reply);
        // Only the length was asked for: the array holds that many zero bytes.
        writeByteArrayReturn(reply, kMultiStringReferent, std::vector<uint8_t>(*length), 8);
        return;
    }
    auto list = readerList(scardContext, cchReaders);
    if (!list) return longReturn(list.error(), reply);
    writeByteArrayReturn(reply, kMultiStringReferent, *list, 8);
}

}  // namespace kx_agent::smartcard

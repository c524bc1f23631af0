// Reader and group lists: SCARD_IOCTL_LISTREADERSA/W and SCARD_IOCTL_LISTREADERGROUPSA/W. Both
// answer one multi-string (each name ended by a NUL, the list by a further NUL): 8-bit
// characters in the A form, UTF-16LE in the W form, its count in bytes either way.
//
// ListReaders_Call: REDIR_SCARDCONTEXT, cBytes, mszGroups referent id, fmszReadersIsNULL,
// cchReaders; deferred: the context bytes, then (mszGroups not null) the groups array.
// ListReaderGroups_Call: REDIR_SCARDCONTEXT, fmszGroupsIsNULL, cchGroups; deferred: the context
// bytes. Both answer ListReaders_Return: ReturnCode, cBytes, msz referent id, then the list as a
// conformant array padded to a multiple of 8.
//
// Reader groups are not supported: the groups are skipped unexamined and PC/SC always lists the
// readers of every group ("SCard$AllReaders").
//
// The client's buffer size (cchReaders, cchGroups) counts characters of its form, which are not
// pcsc-lite's UTF-8 bytes: the whole list is fetched, converted, and then held against it.
// SCARD_AUTOALLOCATE (0xFFFFFFFF) takes any list.
#include <algorithm>
#include <expected>
#include <string>
#include <vector>

#include "smartcard/char_form.h"
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
// service reporting an absurd length from making the agent allocate (or send) without limit.
constexpr DWORD kMaxList = 64 * 1024;

// The PC/SC function that fills a multi-string: SCardListReaders (all groups) or
// SCardListReaderGroups. A null buffer asks for the length.
using Lister = LONG (*)(SCARDCONTEXT, char*, DWORD*);

LONG readers(SCARDCONTEXT context, char* buffer, DWORD* length) {
    return pcsc().list_readers(context, nullptr, buffer, length);
}

LONG groups(SCARDCONTEXT context, char* buffer, DWORD* length) {
    return pcsc().list_reader_groups(context, buffer, length);
}

// The length asked with a null buffer, then the list in a buffer of exactly that length, PC/SC
// being told that size. A list that grew in between (a reader plugged in) is asked again.
std::expected<std::string, uint32_t> fetch(Lister list, SCARDCONTEXT context) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD length = 0;
        LONG result = list(context, nullptr, &length);
        if (result != SCARD_S_SUCCESS) return std::unexpected(static_cast<uint32_t>(result));
        if (length > kMaxList) return std::unexpected(kNoMemory);
        // One byte more than announced keeps the pointer non-null for a length of 0, which
        // PC/SC would otherwise take for a length query.
        std::string buffer(length + 1, '\0');
        DWORD filled = length;
        result = list(context, buffer.data(), &filled);
        if (static_cast<uint32_t>(result) == kInsufficientBuffer) continue;
        if (result != SCARD_S_SUCCESS) return std::unexpected(static_cast<uint32_t>(result));
        // A length beyond the buffer cannot have been written into it.
        if (filled > length) return std::unexpected(kInsufficientBuffer);
        buffer.resize(filled);
        return buffer;
    }
    return std::unexpected(kInsufficientBuffer);
}

// The list in the client's form, held against the characters its buffer takes; with
// `lengthOnly` the array carries that many zero bytes.
void answerList(DataView& reply, Lister list, SCARDCONTEXT context, CharForm form,
                bool lengthOnly, uint32_t cch) {
    auto utf8 = fetch(list, context);
    if (!utf8) return longReturn(utf8.error(), reply);
    auto bytes = encodeMultiString(*utf8, form);
    if (!bytes) return longReturn(bytes.error(), reply);
    std::size_t characters = bytes->size() / unitSize(form);
    if (!lengthOnly && cch != kAutoAllocate && characters > cch)
        return longReturn(kInsufficientBuffer, reply);
    if (lengthOnly) std::fill(bytes->begin(), bytes->end(), 0);
    writeByteArrayReturn(reply, kMultiStringReferent, *bytes, 8);
}

// This family's context decoding: a count that differs from cbContext leaves no context (bytes
// unread), which is answered SCARD_E_INVALID_HANDLE, not SCARD_E_INVALID_VALUE.
uint64_t readContext(DataView& request, const ScardReference& ref) {
    if (ref.cb != 0 && request.getLittleEndian32() == ref.cb) return readReference(request, ref.cb);
    return 0;
}

}  // namespace

void listReaders(CharForm form, DataView& request, DataView& reply) {
    readCommonTypeHeader(request);
    readPrivateTypeHeader(request);
    ScardReference ref = readScardContext(request);
    request.getLittleEndian32();  // cBytes: the groups array carries its own count
    uint32_t mszGroups = request.getLittleEndian32();
    uint32_t fmszReadersIsNULL = request.getLittleEndian32();
    uint32_t cchReaders = request.getLittleEndian32();
    uint64_t context = readContext(request, ref);
    if (answeredTruncated(request, reply)) return;
    if (context == 0) return longReturn(rc::invalid_handle, reply);
    if (mszGroups != 0) {
        // The groups are never examined; the message must still hold the bytes it announces.
        request.getSpan(request.getLittleEndian32());
    }
    if (answeredTruncated(request, reply)) return;
    answerList(reply, readers, static_cast<SCARDCONTEXT>(context), form, fmszReadersIsNULL != 0,
               cchReaders);
}

void listReaderGroups(CharForm form, DataView& request, DataView& reply) {
    readCommonTypeHeader(request);
    readPrivateTypeHeader(request);
    ScardReference ref = readScardContext(request);
    uint32_t fmszGroupsIsNULL = request.getLittleEndian32();
    uint32_t cchGroups = request.getLittleEndian32();
    uint64_t context = readContext(request, ref);
    if (answeredTruncated(request, reply)) return;
    if (context == 0) return longReturn(rc::invalid_handle, reply);
    answerList(reply, groups, static_cast<SCARDCONTEXT>(context), form, fmszGroupsIsNULL != 0,
               cchGroups);
}

}  // namespace kx_agent::smartcard

// Card status: SCARD_IOCTL_STATUSA and SCARD_IOCTL_STATUSW.
//
// Status_Call is a REDIR_SCARDHANDLE, fmszReaderNamesIsNULL, cchReaderLen and cbAtrLen, then the
// deferred context and handle bytes. Status_Return is ReturnCode, cBytes, the mszReaderNames
// referent id, dwState, dwProtocol, a fixed 32-byte pbAtr, cbAtrLen, and the deferred reader
// multi-string padded to 4. The two forms differ only in the multi-string: 8-bit characters or
// UTF-16LE, its count in bytes either way.
//
// The reader names are allocated by pcsc-lite (SCARD_AUTOALLOCATE) and freed through the seam
// whatever SCardStatus answered: pcsc-lite may hand back an allocated buffer together with an
// error (an ATR that does not fit). They are fetched for a length-only request too, so that the
// length answered is that of the multi-string a later request receives.
#include <algorithm>
#include <array>
#include <span>
#include <string>

#include "smartcard/char_form.h"
#include "smartcard/ndr.h"
#include "smartcard/pcsc.h"

namespace kx_agent::smartcard {
namespace {

// Status_Return up to the reader names: ReturnCode, cBytes, referent id, dwState, dwProtocol,
// pbAtr (32), cbAtrLen, the names' maximum count.
constexpr std::size_t kStatusFixedLength = 60;
constexpr std::size_t kAtrLength = 32;
// Bound on the names PC/SC may report: one reader name (pcsc-lite allows MAX_READERNAME, 128
// bytes) and its NULs, with room to spare. A larger length is the service's inconsistency and
// never turns into an allocation.
constexpr DWORD kMaxReaderNames = 64 * 1024;
constexpr uint32_t kInternalError = 0x80100001;  // SCARD_F_INTERNAL_ERROR

// The reader-name buffer that PC/SC allocates; released through the seam when it goes.
class AllocatedNames {
public:
    explicit AllocatedNames(SCARDCONTEXT context) : context_(context) {}
    ~AllocatedNames() {
        if (names_ != nullptr) pcsc().free_memory(context_, names_);
    }
    AllocatedNames(const AllocatedNames&) = delete;
    AllocatedNames& operator=(const AllocatedNames&) = delete;

    // The SCARD_AUTOALLOCATE form of the name argument: the address of the pointer.
    char* target() { return reinterpret_cast<char*>(&names_); }
    const char* get() const { return names_; }

private:
    SCARDCONTEXT context_;
    char* names_ = nullptr;
};

// The reader names as a multi-string: a list of names each ended by a NUL, and the list by a
// further NUL. pcsc-lite ends its one name with a single NUL.
std::string readerMultiString(const char* names, std::size_t length) {
    std::string list = names != nullptr ? std::string(names, length) : std::string();
    while (!list.empty() && list.back() == '\0') list.pop_back();
    if (list.empty()) return std::string(2, '\0');
    return list + std::string(2, '\0');
}

}  // namespace

void status(CharForm form, DataView& request, DataView& reply) {
    readCommonTypeHeader(request);
    readPrivateTypeHeader(request);
    ScardReference context = readScardContext(request);
    ScardReference handle = readScardHandle(request);
    uint32_t fmszReaderNamesIsNULL = request.getLittleEndian32();
    request.getLittleEndian32();  // cchReaderLen: the names are allocated by PC/SC
    uint32_t cbAtrLen = request.getLittleEndian32();
    auto reference = decodeCardReference(request, context.cb, handle.cb);
    if (answeredTruncated(request, reply)) return;
    if (!reference) {
        longReturn(reference.error(), reply);
        return;
    }
    // Unlike the other calls on a card, status refuses an empty context as well.
    if (reference->context == 0) {
        longReturn(rc::invalid_handle, reply);
        return;
    }

    bool lengthOnly = fmszReaderNamesIsNULL != 0;
    AllocatedNames names(static_cast<SCARDCONTEXT>(reference->context));
    DWORD namesLength = SCARD_AUTOALLOCATE;
    DWORD state = 0;
    DWORD protocol = 0;
    std::array<BYTE, kAtrLength> atr{};
    DWORD atrLength = std::min<DWORD>(cbAtrLen, kAtrLength);
    LONG result = pcsc().status(static_cast<SCARDHANDLE>(reference->handle), names.target(),
                                &namesLength, &state, &protocol, atr.data(), &atrLength);
    if (result != SCARD_S_SUCCESS) {
        longReturn(static_cast<uint32_t>(result), reply);
        return;
    }
    if (namesLength > kMaxReaderNames) {
        longReturn(kInternalError, reply);
        return;
    }
    // A service that reports names without storing any leaves the list empty.
    auto multiString = encodeMultiString(
        readerMultiString(names.get(), names.get() != nullptr ? namesLength : 0), form);
    if (!multiString) {
        longReturn(multiString.error(), reply);
        return;
    }

    std::size_t n = multiString->size();
    std::size_t pad = padding(kStatusFixedLength + n, 4);
    writeReplyHead(reply, static_cast<uint32_t>(kStatusFixedLength + n + pad));
    reply.setLittleEndian32(rc::success);
    reply.setLittleEndian32(static_cast<uint32_t>(n));  // cBytes
    reply.setLittleEndian32(context.referent);          // mszReaderNames referent id
    reply.setLittleEndian32(static_cast<uint32_t>(state));
    reply.setLittleEndian32(static_cast<uint32_t>(protocol));
    reply.setBytes(atr);
    reply.setLittleEndian32(static_cast<uint32_t>(atrLength));
    reply.setLittleEndian32(static_cast<uint32_t>(n));  // conformant array maximum count
    // The length query gets the length, its array zeros.
    if (lengthOnly)
        reply.skipPositionWrite(n);
    else
        reply.setBytes(*multiString);
    reply.skipPositionWrite(pad);
    reply.markEnd();
}

}  // namespace kx_agent::smartcard

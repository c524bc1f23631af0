// SCARD_IOCTL_READCACHEA/W and WRITECACHEA/W: the data cache of card minidrivers, kept by the
// agent (smartcard/card_cache.h). The A and W forms differ only in the lookup name's characters.
//
// ReadCache{A,W}_Call: the szLookupName referent id, then ReadCache_Common: REDIR_SCARDCONTEXT,
// the CardIdentifier referent id, FreshnessCounter, fPbDataIsNULL, cbDataLen.
// WriteCache{A,W}_Call: the szLookupName referent id, then WriteCache_Common:
// REDIR_SCARDCONTEXT, the CardIdentifier referent id, FreshnessCounter, cbDataLen and the pbData
// referent id.
// Deferred, in the order of the pointers: the lookup name (a conformant varying string), the
// context bytes (padded to 4), the 16-byte UUID, and for a write the data (count, bytes).
// ReadCache_Return: ReturnCode, cbDataLen, the pbData referent id, then the data; WriteCache
// answers a bare Long_Return.
#include <algorithm>
#include <expected>
#include <string>

#include "smartcard/card_cache.h"
#include "smartcard/char_form.h"
#include "smartcard/ndr.h"
#include "smartcard/pcsc.h"

namespace kx_agent::smartcard {
namespace {

constexpr uint32_t kDataReferent = 0x00020000;
constexpr uint32_t kInsufficientBuffer = 0x80100008;  // SCARD_E_INSUFFICIENT_BUFFER
constexpr uint32_t kWireAutoAllocate = 0xFFFFFFFF;    // SCARD_AUTOALLOCATE on the wire

// What names an item: the lookup name, the context it is read or written through, the card.
struct CacheKey {
    std::string name;
    uint64_t context;
    CardIdentifier card;
};

// The fixed fields that both calls open with.
struct CacheCallHead {
    uint32_t szLookupName;
    ScardReference context;
    uint32_t cardIdentifier;
    uint32_t freshnessCounter;
};

CacheCallHead readHead(DataView& request) {
    readCommonTypeHeader(request);
    readPrivateTypeHeader(request);
    CacheCallHead head{};
    head.szLookupName = request.getLittleEndian32();
    head.context = readScardContext(request);
    head.cardIdentifier = request.getLittleEndian32();
    head.freshnessCounter = request.getLittleEndian32();
    return head;
}

// The deferred lookup name, context and card identifier. A short call fails the request view
// (the caller answers it); a null name or identifier is SCARD_E_INVALID_PARAMETER, a context
// count that differs from cbContext SCARD_E_INVALID_VALUE, a context of 0
// SCARD_E_INVALID_HANDLE.
std::expected<CacheKey, uint32_t> readKey(DataView& request, const CacheCallHead& head,
                                          CharForm form) {
    if (head.szLookupName == 0 || head.cardIdentifier == 0)
        return std::unexpected(rc::invalid_parameter);
    auto name = readString(request, form);
    if (!name) return std::unexpected(name.error());
    if (request.getLittleEndian32() != head.context.cb) return std::unexpected(rc::invalid_value);
    uint64_t context = readReference(request, head.context.cb);
    request.skipPositionRead(static_cast<int32_t>(padding(head.context.cb, 4)));
    auto uuid = request.getSpan(16);
    if (request.failed()) return std::unexpected(rc::invalid_parameter);
    if (context == 0) return std::unexpected(rc::invalid_handle);
    CacheKey key{std::move(*name), context, {}};
    std::ranges::copy(uuid, key.card.begin());
    return key;
}

// The cache answers only through a context that PC/SC knows, so that its items die with it.
uint32_t checkContext(uint64_t context) {
    return static_cast<uint32_t>(pcsc().is_valid_context(static_cast<SCARDCONTEXT>(context)));
}

}  // namespace

void readCache(CharForm form, DataView& request, DataView& reply) {
    CacheCallHead head = readHead(request);
    uint32_t fPbDataIsNULL = request.getLittleEndian32();
    uint32_t cbDataLen = request.getLittleEndian32();
    if (answeredTruncated(request, reply)) return;
    auto key = readKey(request, head, form);
    if (answeredTruncated(request, reply)) return;
    if (!key) return longReturn(key.error(), reply);
    if (uint32_t valid = checkContext(key->context); valid != rc::success)
        return longReturn(valid, reply);

    auto data = card_cache().read(key->card, head.freshnessCounter, key->name);
    if (!data) return longReturn(data.error(), reply);
    auto n = static_cast<uint32_t>(data->size());
    if (fPbDataIsNULL != 0) {
        // The length alone: cbDataLen and a null pbData, padded to a multiple of 8.
        writeReplyHead(reply, 16);
        reply.setLittleEndian32(rc::success);
        reply.setLittleEndian32(n);
        reply.setLittleEndian32(0);
        reply.skipPositionWrite(4);
        reply.markEnd();
        return;
    }
    if (cbDataLen != kWireAutoAllocate && cbDataLen < n)
        return longReturn(kInsufficientBuffer, reply);
    writeByteArrayReturn(reply, kDataReferent, *data, 8);
}

void writeCache(CharForm form, DataView& request, DataView& reply) {
    CacheCallHead head = readHead(request);
    uint32_t cbDataLen = request.getLittleEndian32();
    uint32_t pbData = request.getLittleEndian32();
    if (answeredTruncated(request, reply)) return;
    // [MS-RDPESC] bounds cbDataLen to 65536, which is also the largest item the cache holds.
    if (cbDataLen > CardCache::kMaxItem) return longReturn(rc::cache_item_too_big, reply);
    if (cbDataLen > 0 && pbData == 0) return longReturn(rc::invalid_parameter, reply);
    auto key = readKey(request, head, form);
    if (answeredTruncated(request, reply)) return;
    if (!key) return longReturn(key.error(), reply);
    std::span<const uint8_t> data;
    if (pbData != 0) {
        if (request.getLittleEndian32() != cbDataLen) {
            if (answeredTruncated(request, reply)) return;
            return longReturn(rc::invalid_value, reply);
        }
        data = request.getSpan(cbDataLen);
        request.skipPositionRead(static_cast<int32_t>(padding(cbDataLen, 4)));
        if (answeredTruncated(request, reply)) return;
    }
    if (uint32_t valid = checkContext(key->context); valid != rc::success)
        return longReturn(valid, reply);
    longReturn(card_cache().write(key->context, key->card, head.freshnessCounter, key->name, data),
               reply);
}

}  // namespace kx_agent::smartcard

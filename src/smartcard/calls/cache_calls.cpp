// SCARD_IOCTL_READCACHEA/W and WRITECACHEA/W: the data cache of card minidrivers, kept by the
// agent (smartcard/state/card_cache.h). The A and W forms differ only in the lookup name's characters.
//
// ReadCache{A,W}_Call: the szLookupName pointer, then ReadCache_Common: REDIR_SCARDCONTEXT
// Context, the CardIdentifier pointer, FreshnessCounter, fPbDataIsNULL, cbDataLen.
// WriteCache{A,W}_Call: the szLookupName pointer, then WriteCache_Common: REDIR_SCARDCONTEXT
// Context, the CardIdentifier pointer, FreshnessCounter, cbDataLen and the pbData pointer.
// Deferred, in the order of the pointers: the lookup name (a conformant varying string), the
// context bytes, the 16-byte UUID, and for a write the data (count, bytes).
// ReadCache_Return: ReturnCode, cbDataLen, pbData and its array; WriteCache answers a
// Long_Return. (The _Common structures are read into the call's own fields.)
#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "smartcard/calls/call.h"
#include "smartcard/state/card_cache.h"
#include "smartcard/pcsc/pcsc.h"

namespace kx_agent::smartcard {
namespace {

constexpr std::size_t kUuidAlignment = 4;  // UUID opens with a 32-bit Data1

// The fields both calls share, and what names an item: the lookup name, the context it is read
// or written through, the card.
struct CacheCallCommon {
    uint32_t szLookupName = 0;
    REDIR_SCARDCONTEXT Context;
    uint32_t CardIdentifier = 0;
    uint32_t FreshnessCounter = 0;
    std::string lookupName;
    smartcard::CardIdentifier card{};

    void readHead(NdrReader& in) {
        szLookupName = in.u32();
        Context.readFixed(in);
        CardIdentifier = in.u32();
        FreshnessCounter = in.u32();
    }

    // The deferred lookup name, context and card identifier. A null name or identifier is
    // SCARD_E_INVALID_PARAMETER, a context count that differs from cbContext
    // SCARD_E_INVALID_VALUE; the context itself is judged by checkKey.
    std::expected<void, ReturnCode> readKey(NdrReader& in, CharForm form) {
        if (szLookupName == 0 || CardIdentifier == 0) return std::unexpected(rc::invalid_parameter);
        auto name = in.string(form);
        if (!name) return std::unexpected(name.error());
        lookupName = std::move(*name);
        if (auto deferred = Context.readDeferred(in); !deferred) return deferred;
        in.align(kUuidAlignment);
        std::ranges::copy(in.bytes(card.size()), card.begin());
        return {};
    }
};

struct ReadCacheCall : CacheCallCommon {
    uint32_t fPbDataIsNULL = 0;
    uint32_t cbDataLen = 0;
};

struct WriteCacheCall : CacheCallCommon {
    uint32_t cbDataLen = 0;
    uint32_t pbData = 0;
    std::span<const uint8_t> data;  // in the message
};

using ReadCacheReturn = LengthOrBufferReturn;  // cbDataLen and pbData

// The cache answers only through a context that PC/SC knows, so that its items die with it. A
// context of 0 is SCARD_E_INVALID_HANDLE without asking.
ReturnCode checkContext(Pcsc& pcsc, const REDIR_SCARDCONTEXT& context) {
    if (context.value == 0) return rc::invalid_handle;
    return ReturnCode::of(pcsc.is_valid_context(static_cast<SCARDCONTEXT>(context.value)));
}

std::expected<ReadCacheCall, ReturnCode> decodeReadCache(NdrReader& in, CharForm form) {
    ReadCacheCall call;
    call.readHead(in);
    call.fPbDataIsNULL = in.u32();
    call.cbDataLen = in.u32();
    if (auto key = call.readKey(in, form); !key) return std::unexpected(key.error());
    return call;
}

ReadCacheReturn executeReadCache(const ReadCacheCall& call, CharForm, const Services& services) {
    if (ReturnCode valid = checkContext(services.pcsc, call.Context); valid != rc::success)
        return {valid};
    auto data = services.cache.read(call.card, call.FreshnessCounter, call.lookupName);
    if (!data) return {data.error()};
    auto n = static_cast<uint32_t>(data->size());
    // The length alone: cbDataLen and a null pbData.
    if (call.fPbDataIsNULL != 0) return {rc::success, {.length = n}};
    if (call.cbDataLen != rc::autoallocate && call.cbDataLen < n) return {rc::insufficient_buffer};
    return {rc::success, {.bytes = std::move(*data)}};
}

std::expected<WriteCacheCall, ReturnCode> decodeWriteCache(NdrReader& in, CharForm form) {
    WriteCacheCall call;
    call.readHead(in);
    call.cbDataLen = in.u32();
    call.pbData = in.u32();
    // [range(0, 65536)], which is also the largest item the cache holds.
    static_assert(range::data <= CardCache::kMaxItem);
    if (call.cbDataLen > range::data) return std::unexpected(rc::invalid_parameter);
    if (call.cbDataLen > 0 && call.pbData == 0) return std::unexpected(rc::invalid_parameter);
    if (auto key = call.readKey(in, form); !key) return std::unexpected(key.error());
    if (call.pbData != 0) {
        auto data = in.conformant(call.cbDataLen);
        if (!data) return std::unexpected(data.error());
        call.data = *data;
        in.align(4);  // a call ends with the data's padding, as it always has
    }
    return call;
}

LongReturn executeWriteCache(const WriteCacheCall& call, CharForm, const Services& services) {
    if (ReturnCode valid = checkContext(services.pcsc, call.Context); valid != rc::success)
        return {valid};
    return {services.cache.write(call.Context.value, call.card, call.FreshnessCounter,
                                 call.lookupName, call.data)};
}

}  // namespace

const CallHandler readCacheCall = typedCall<decodeReadCache, executeReadCache>;
const CallHandler writeCacheCall = typedCall<decodeWriteCache, executeWriteCache>;

constexpr std::array kRows = {
    row(ioctl::readCacheA, readCacheCall, CharForm::A, CallOrder::Kind::context, Timing::atOnce),
    row(ioctl::readCacheW, readCacheCall, CharForm::W, CallOrder::Kind::context, Timing::atOnce),
    row(ioctl::writeCacheA, writeCacheCall, CharForm::A, CallOrder::Kind::context, Timing::atOnce),
    row(ioctl::writeCacheW, writeCacheCall, CharForm::W, CallOrder::Kind::context, Timing::atOnce),
};

std::span<const CallRow> cacheCallRows() { return kRows; }

}  // namespace kx_agent::smartcard

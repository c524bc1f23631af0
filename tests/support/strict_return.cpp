#include "strict_return.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "smartcard/wire/ioctls.h"

namespace kx_agent::test {
namespace {

// What an IDL field is, as far as NDR lays it out.
enum class Kind {
    word,        // long, unsigned long; `count` is its [range] upper bound
    fixed,       // byte name[count]
    held,        // a structure in place (its pointees are deferred with the holder's)
    byte_array,  // [unique, size_is(size)] byte*: referent id; maximum count and bytes deferred
    one,         // [unique] S*: referent id; S deferred, then S's own pointees
    array,       // [unique, size_is(size)] S*: referent id; maximum count and the S's deferred
};

struct Field {
    Kind kind;
    std::string_view name;
    uint32_t count = UINT32_MAX;
    std::string_view size = {};    // the sibling field that sizes a byte_array or array
    std::string_view layout = {};  // the structure of held, one and array
};

Field u32(std::string_view name, uint32_t range_max = UINT32_MAX) {
    return {Kind::word, name, range_max};
}
Field fixed(std::string_view name, uint32_t length) { return {Kind::fixed, name, length}; }
Field held(std::string_view name, std::string_view layout) {
    return {Kind::held, name, 0, {}, layout};
}
Field bytes_at(std::string_view name, std::string_view size) {
    return {Kind::byte_array, name, 0, size};
}
Field one_at(std::string_view name, std::string_view layout) {
    return {Kind::one, name, 0, {}, layout};
}
Field array_at(std::string_view name, std::string_view size, std::string_view layout) {
    return {Kind::array, name, 0, size, layout};
}
// A second name for one IDL typedef: the structure held in place under no field name.
std::vector<Field> same_as(std::string_view layout) { return {held("", layout)}; }

// The [MS-RDPESC] structures of the replies (2.2.1 and 2.2.3), field for field as the IDL has
// them, [range] bounds included. pbHandle and rgReaderStates, which the IDL leaves without a
// pointer attribute, are taken as unique like the others (the interface's default): a failed
// Connect or GetStatusChange answers them null.
const std::map<std::string_view, std::vector<Field>> kLayouts = {
    {"REDIR_SCARDCONTEXT", {u32("cbContext", 16), bytes_at("pbContext", "cbContext")}},
    {"REDIR_SCARDHANDLE",
     {held("Context", "REDIR_SCARDCONTEXT"), u32("cbHandle", 16),
      bytes_at("pbHandle", "cbHandle")}},
    {"ReaderState_Return",
     {u32("dwCurrentState"), u32("dwEventState"), u32("cbAtr", 36), fixed("rgbAtr", 36)}},
    {"SCardIO_Request",
     {u32("dwProtocol"), u32("cbExtraBytes", 1024), bytes_at("pbExtraBytes", "cbExtraBytes")}},

    {"Long_Return", {u32("ReturnCode")}},
    {"EstablishContext_Return", {u32("ReturnCode"), held("Context", "REDIR_SCARDCONTEXT")}},
    {"ListReaders_Return", {u32("ReturnCode"), u32("cBytes", 65536), bytes_at("msz", "cBytes")}},
    {"ListReaderGroups_Return", same_as("ListReaders_Return")},
    {"LocateCards_Return",
     {u32("ReturnCode"), u32("cReaders", 10),
      array_at("rgReaderStates", "cReaders", "ReaderState_Return")}},
    // [MS-RDPESC] bounds its cReaders to 10, the call's to 11 (ten readers and the PnP entry):
    // the agent answers all 11 states it was asked.
    {"GetStatusChange_Return",
     {u32("ReturnCode"), u32("cReaders", 11),
      array_at("rgReaderStates", "cReaders", "ReaderState_Return")}},
    {"Connect_Return",
     {u32("ReturnCode"), held("hCard", "REDIR_SCARDHANDLE"), u32("dwActiveProtocol")}},
    {"Reconnect_Return", {u32("ReturnCode"), u32("dwActiveProtocol")}},
    {"State_Return",
     {u32("ReturnCode"), u32("dwState"), u32("dwProtocol"), u32("cbAtrLen", 36),
      bytes_at("rgAtr", "cbAtrLen")}},
    {"Status_Return",
     {u32("ReturnCode"), u32("cBytes", 65536), bytes_at("mszReaderNames", "cBytes"), u32("dwState"),
      u32("dwProtocol"), fixed("pbAtr", 32), u32("cbAtrLen", 32)}},
    {"Transmit_Return",
     {u32("ReturnCode"), one_at("pioRecvPci", "SCardIO_Request"), u32("cbRecvLength", 66560),
      bytes_at("pbRecvBuffer", "cbRecvLength")}},
    {"Control_Return",
     {u32("ReturnCode"), u32("cbOutBufferSize", 66560),
      bytes_at("pvOutBuffer", "cbOutBufferSize")}},
    {"GetAttrib_Return",
     {u32("ReturnCode"), u32("cbAttrLen", 65536), bytes_at("pbAttr", "cbAttrLen")}},
    {"ReadCache_Return",
     {u32("ReturnCode"), u32("cbDataLen", 65536), bytes_at("pbData", "cbDataLen")}},
    {"GetTransmitCount_Return", {u32("ReturnCode"), u32("cTransmitCount")}},
    {"GetReaderIcon_Return",
     {u32("ReturnCode"), u32("cbDataLen", 4194304), bytes_at("pbData", "cbDataLen")}},
    {"GetDeviceTypeId_Return", {u32("ReturnCode"), u32("dwDeviceId")}},
};

std::string hex32(uint32_t value) {
    char text[11];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

uint32_t le32(std::span<const uint8_t> bytes, std::size_t at) {
    return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
           static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

std::string join(const std::string& prefix, std::string_view name) {
    return name.empty() ? prefix : prefix + std::string(name);
}

// Reads one object buffer in NDR, refusing at the first thing a strict decoder would refuse.
class ObjectReader {
public:
    ObjectReader(std::span<const uint8_t> object, DecodedReturn& out)
        : object_(object), out_(out) {}

    bool top(std::string_view layout) {
        std::vector<Deferred> deferred;
        return structure(layout, "", deferred) && pointees(deferred) && trailer(layout);
    }
    const std::string& error() const { return error_; }

private:
    struct Deferred {
        const Field* field;
        std::string prefix;
    };

    bool fail(std::string what) {
        error_ = std::move(what);
        return false;
    }
    std::string where(const std::string& path) const {
        return " (" + path + " at object buffer offset " + std::to_string(at_) + ", reply offset " +
               std::to_string(38 + at_) + ")";
    }
    bool need(std::size_t count, const std::string& path) {
        if (count <= object_.size() - at_) return true;
        return fail("ends inside the structure: " + std::to_string(count) + " bytes needed, " +
                    std::to_string(object_.size() - at_) + " left of the " +
                    std::to_string(object_.size()) + "-byte object buffer" + where(path));
    }
    bool align4(const std::string& path) {
        while (at_ % 4 != 0) {
            if (!need(1, path)) return false;
            if (object_[at_] != 0)
                return fail("non-zero padding before a 4-byte field" + where(path));
            ++at_;
        }
        return true;
    }
    bool word(const std::string& path, uint32_t& value) {
        if (!align4(path) || !need(4, path)) return false;
        value = le32(object_, at_);
        at_ += 4;
        return true;
    }
    // A pointer's referent id: 0, or the next of 0x00020000, 0x00020004, ... in stream order.
    bool referent(const std::string& path, bool& present) {
        std::size_t start = at_;
        uint32_t id = 0;
        if (!word(path, id)) return false;
        out_.words[path] = id;
        present = id != 0;
        if (!present) return true;
        if (id != next_referent_) {
            at_ = start;
            return fail("referent id out of order: " + hex32(id) + " where " +
                        hex32(next_referent_) + " is next" + where(path));
        }
        next_referent_ += 4;
        return true;
    }
    // The maximum count of a conformant array, which must equal its size field.
    bool maximum_count(const Deferred& d, const std::string& path, uint32_t& count) {
        std::string size_path = join(d.prefix, d.field->size);
        uint32_t size = out_.words.at(size_path);
        std::size_t start = at_;
        if (!word(path + " maximum count", count)) return false;
        if (count == size) return true;
        at_ = start;
        return fail("maximum count disagrees with its size field: " + std::to_string(count) + ", " +
                    size_path + " is " + std::to_string(size) + where(path));
    }

    bool structure(std::string_view layout, const std::string& prefix,
                   std::vector<Deferred>& deferred) {
        const std::vector<Field>& fields = kLayouts.at(layout);
        if (!align4(prefix + std::string(layout))) return false;
        for (const Field& f : fields) {
            std::string path = join(prefix, f.name);
            switch (f.kind) {
            case Kind::word: {
                std::size_t start = at_;
                uint32_t value = 0;
                if (!word(path, value)) return false;
                out_.words[path] = value;
                if (value > f.count) {
                    at_ = start;
                    return fail(path + " is " + std::to_string(value) +
                                ", above its range of 0 to " + std::to_string(f.count) +
                                where(path));
                }
                break;
            }
            case Kind::fixed:
                if (!need(f.count, path)) return false;
                out_.bytes[path].assign(object_.begin() + at_, object_.begin() + at_ + f.count);
                at_ += f.count;
                break;
            case Kind::held:
                if (!structure(f.layout, f.name.empty() ? prefix : path + ".", deferred))
                    return false;
                break;
            case Kind::byte_array:
            case Kind::one:
            case Kind::array: {
                bool present = false;
                if (!referent(path, present)) return false;
                if (present) deferred.push_back({&f, prefix});
                break;
            }
            }
        }
        return true;
    }

    // The deferred pointees in field order, each one's own pointees right after it.
    bool pointees(const std::vector<Deferred>& deferred) {
        for (const Deferred& d : deferred) {
            std::string path = join(d.prefix, d.field->name);
            std::vector<Deferred> inner;
            uint32_t count = 0;
            switch (d.field->kind) {
            case Kind::byte_array:
                if (!maximum_count(d, path, count) || !need(count, path)) return false;
                out_.bytes[path].assign(object_.begin() + at_, object_.begin() + at_ + count);
                at_ += count;
                break;
            case Kind::one:
                if (!structure(d.field->layout, path + ".", inner)) return false;
                break;
            case Kind::array:
                if (!maximum_count(d, path, count)) return false;
                for (uint32_t i = 0; i < count; ++i)
                    if (!structure(d.field->layout, path + "[" + std::to_string(i) + "].", inner))
                        return false;
                break;
            default: break;
            }
            if (!pointees(inner)) return false;
        }
        return true;
    }

    // [MS-RPCE] 2.2.6.2: the object buffer is the structure and its zero padding to 8, no more.
    bool trailer(std::string_view layout) {
        std::size_t padded = (at_ + 7) / 8 * 8;
        if (object_.size() > padded)
            return fail("more than the padding to 8 after the structure: " + std::string(layout) +
                        " ends at " + std::to_string(at_) + ", the object buffer holds " +
                        std::to_string(object_.size()) + " bytes");
        for (std::size_t i = at_; i < object_.size(); ++i)
            if (object_[i] != 0)
                return fail("non-zero padding after the structure at object buffer offset " +
                            std::to_string(i));
        return true;
    }

    std::span<const uint8_t> object_;
    DecodedReturn& out_;
    std::size_t at_ = 0;
    uint32_t next_referent_ = 0x00020000;
    std::string error_;
};

}  // namespace

std::string_view return_layout(uint32_t io_control_code) {
    const smartcard::Ioctl* ioctl = smartcard::findIoctl(io_control_code);
    return ioctl != nullptr ? ioctl->returns : "Long_Return";
}

std::string_view ioctl_name(uint32_t io_control_code) {
    const smartcard::Ioctl* ioctl = smartcard::findIoctl(io_control_code);
    return ioctl != nullptr ? ioctl->name : std::string_view{};
}

std::expected<DecodedReturn, std::string> decode_return(uint32_t io_control_code,
                                                        std::span<const uint8_t> reply) {
    // 03 03; [MS-RDPEFS] 2.2.1.5.5 DR_CONTROL_RSP: Component, PacketId, DeviceId, CompletionId,
    // IoStatus, OutputBufferLength; [MS-RPCE] 2.2.6.1 and 2.2.6.2 headers: 38 bytes in all.
    constexpr std::size_t kHead = 38;
    auto refuse = [](std::string what) { return std::unexpected(std::move(what)); };
    if (reply.size() < kHead)
        return refuse("ends inside the reply head: " + std::to_string(reply.size()) +
                      " bytes, the head alone is 38");
    if (reply[0] != 3 || reply[1] != 3 || le32(reply, 2) != 0x49434472)
        return refuse("not a device I/O completion: it starts " + hex32(le32(reply, 0)));
    if (uint32_t status = le32(reply, 14); status != 0)
        return refuse("IoStatus is " + hex32(status) + ", the outcome travels in ReturnCode only");
    uint32_t output_length = le32(reply, 18);
    static constexpr std::array<uint8_t, 8> kCommonHeader = {1, 0x10, 8, 0, 0xCC, 0xCC, 0xCC, 0xCC};
    if (!std::equal(kCommonHeader.begin(), kCommonHeader.end(), reply.begin() + 22))
        return refuse("the Common Type Header is not 01 10 08 00 CC CC CC CC");
    uint32_t object_length = le32(reply, 30);
    if (uint32_t filler = le32(reply, 34); filler != 0)
        return refuse("the Private Type Header's filler is " + hex32(filler) + ", not 0");
    if (output_length != 16 + static_cast<uint64_t>(object_length))
        return refuse("OutputBufferLength is " + std::to_string(output_length) +
                      ", 16 + ObjectBufferLength is " + std::to_string(16ull + object_length));
    if (object_length % 8 != 0)
        return refuse("object buffer not padded to 8: ObjectBufferLength is " +
                      std::to_string(object_length));
    if (reply.size() != kHead + static_cast<uint64_t>(object_length))
        return refuse("message length is " + std::to_string(reply.size()) +
                      ", 38 + ObjectBufferLength is " + std::to_string(kHead + object_length));

    DecodedReturn out;
    out.layout = return_layout(io_control_code);
    out.object_buffer_length = object_length;
    ObjectReader reader(reply.subspan(kHead), out);
    if (!reader.top(out.layout)) return refuse(std::string(out.layout) + ": " + reader.error());
    out.return_code = out.words.at("ReturnCode");
    return out;
}

}  // namespace kx_agent::test

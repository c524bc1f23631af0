#pragma once
// The I/O control codes of [MS-RDPESC] 3.1.4 in one place: each code's number, its name and the
// _Return structure it is answered with, whatever its ReturnCode. The dispatch rows, the names in
// the agent's lines, the tests (their call codes and strict decoder of replies) and the benchmark
// all read this list; the web codec's test holds web/scard-codec.js's IOCTL table to it.
#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

namespace kx_agent::smartcard {

namespace ioctl {
inline constexpr uint32_t establishContext = 0x00090014;
inline constexpr uint32_t releaseContext = 0x00090018;
inline constexpr uint32_t isValidContext = 0x0009001C;
inline constexpr uint32_t listReaderGroupsA = 0x00090020;
inline constexpr uint32_t listReaderGroupsW = 0x00090024;
inline constexpr uint32_t listReadersA = 0x00090028;
inline constexpr uint32_t listReadersW = 0x0009002C;
inline constexpr uint32_t introduceReaderGroupA = 0x00090050;
inline constexpr uint32_t introduceReaderGroupW = 0x00090054;
inline constexpr uint32_t forgetReaderGroupA = 0x00090058;
inline constexpr uint32_t forgetReaderGroupW = 0x0009005C;
inline constexpr uint32_t introduceReaderA = 0x00090060;
inline constexpr uint32_t introduceReaderW = 0x00090064;
inline constexpr uint32_t forgetReaderA = 0x00090068;
inline constexpr uint32_t forgetReaderW = 0x0009006C;
inline constexpr uint32_t addReaderToGroupA = 0x00090070;
inline constexpr uint32_t addReaderToGroupW = 0x00090074;
inline constexpr uint32_t removeReaderFromGroupA = 0x00090078;
inline constexpr uint32_t removeReaderFromGroupW = 0x0009007C;
inline constexpr uint32_t locateCardsA = 0x00090098;
inline constexpr uint32_t locateCardsW = 0x0009009C;
inline constexpr uint32_t getStatusChangeA = 0x000900A0;
inline constexpr uint32_t getStatusChangeW = 0x000900A4;
inline constexpr uint32_t cancel = 0x000900A8;
inline constexpr uint32_t connectA = 0x000900AC;
inline constexpr uint32_t connectW = 0x000900B0;
inline constexpr uint32_t reconnect = 0x000900B4;
inline constexpr uint32_t disconnect = 0x000900B8;
inline constexpr uint32_t beginTransaction = 0x000900BC;
inline constexpr uint32_t endTransaction = 0x000900C0;
inline constexpr uint32_t state = 0x000900C4;
inline constexpr uint32_t statusA = 0x000900C8;
inline constexpr uint32_t statusW = 0x000900CC;
inline constexpr uint32_t transmit = 0x000900D0;
inline constexpr uint32_t control = 0x000900D4;
inline constexpr uint32_t getAttrib = 0x000900D8;
inline constexpr uint32_t setAttrib = 0x000900DC;
inline constexpr uint32_t accessStartedEvent = 0x000900E0;
inline constexpr uint32_t locateCardsByAtrA = 0x000900E8;
inline constexpr uint32_t locateCardsByAtrW = 0x000900EC;
inline constexpr uint32_t readCacheA = 0x000900F0;
inline constexpr uint32_t readCacheW = 0x000900F4;
inline constexpr uint32_t writeCacheA = 0x000900F8;
inline constexpr uint32_t writeCacheW = 0x000900FC;
inline constexpr uint32_t getTransmitCount = 0x00090100;
inline constexpr uint32_t getReaderIcon = 0x00090104;
inline constexpr uint32_t getDeviceTypeId = 0x00090108;
}  // namespace ioctl

struct Ioctl {
    uint32_t code;
    std::string_view name;     // SCARD_IOCTL_...
    std::string_view returns;  // the IDL name of its _Return structure
};

// Sorted by code.
inline constexpr std::array kIoctls = {
    Ioctl{ioctl::establishContext, "SCARD_IOCTL_ESTABLISHCONTEXT", "EstablishContext_Return"},
    Ioctl{ioctl::releaseContext, "SCARD_IOCTL_RELEASECONTEXT", "Long_Return"},
    Ioctl{ioctl::isValidContext, "SCARD_IOCTL_ISVALIDCONTEXT", "Long_Return"},
    Ioctl{ioctl::listReaderGroupsA, "SCARD_IOCTL_LISTREADERGROUPSA", "ListReaderGroups_Return"},
    Ioctl{ioctl::listReaderGroupsW, "SCARD_IOCTL_LISTREADERGROUPSW", "ListReaderGroups_Return"},
    Ioctl{ioctl::listReadersA, "SCARD_IOCTL_LISTREADERSA", "ListReaders_Return"},
    Ioctl{ioctl::listReadersW, "SCARD_IOCTL_LISTREADERSW", "ListReaders_Return"},
    Ioctl{ioctl::introduceReaderGroupA, "SCARD_IOCTL_INTRODUCEREADERGROUPA", "Long_Return"},
    Ioctl{ioctl::introduceReaderGroupW, "SCARD_IOCTL_INTRODUCEREADERGROUPW", "Long_Return"},
    Ioctl{ioctl::forgetReaderGroupA, "SCARD_IOCTL_FORGETREADERGROUPA", "Long_Return"},
    Ioctl{ioctl::forgetReaderGroupW, "SCARD_IOCTL_FORGETREADERGROUPW", "Long_Return"},
    Ioctl{ioctl::introduceReaderA, "SCARD_IOCTL_INTRODUCEREADERA", "Long_Return"},
    Ioctl{ioctl::introduceReaderW, "SCARD_IOCTL_INTRODUCEREADERW", "Long_Return"},
    Ioctl{ioctl::forgetReaderA, "SCARD_IOCTL_FORGETREADERA", "Long_Return"},
    Ioctl{ioctl::forgetReaderW, "SCARD_IOCTL_FORGETREADERW", "Long_Return"},
    Ioctl{ioctl::addReaderToGroupA, "SCARD_IOCTL_ADDREADERTOGROUPA", "Long_Return"},
    Ioctl{ioctl::addReaderToGroupW, "SCARD_IOCTL_ADDREADERTOGROUPW", "Long_Return"},
    Ioctl{ioctl::removeReaderFromGroupA, "SCARD_IOCTL_REMOVEREADERFROMGROUPA", "Long_Return"},
    Ioctl{ioctl::removeReaderFromGroupW, "SCARD_IOCTL_REMOVEREADERFROMGROUPW", "Long_Return"},
    Ioctl{ioctl::locateCardsA, "SCARD_IOCTL_LOCATECARDSA", "LocateCards_Return"},
    Ioctl{ioctl::locateCardsW, "SCARD_IOCTL_LOCATECARDSW", "LocateCards_Return"},
    Ioctl{ioctl::getStatusChangeA, "SCARD_IOCTL_GETSTATUSCHANGEA", "GetStatusChange_Return"},
    Ioctl{ioctl::getStatusChangeW, "SCARD_IOCTL_GETSTATUSCHANGEW", "GetStatusChange_Return"},
    Ioctl{ioctl::cancel, "SCARD_IOCTL_CANCEL", "Long_Return"},
    Ioctl{ioctl::connectA, "SCARD_IOCTL_CONNECTA", "Connect_Return"},
    Ioctl{ioctl::connectW, "SCARD_IOCTL_CONNECTW", "Connect_Return"},
    Ioctl{ioctl::reconnect, "SCARD_IOCTL_RECONNECT", "Reconnect_Return"},
    Ioctl{ioctl::disconnect, "SCARD_IOCTL_DISCONNECT", "Long_Return"},
    Ioctl{ioctl::beginTransaction, "SCARD_IOCTL_BEGINTRANSACTION", "Long_Return"},
    Ioctl{ioctl::endTransaction, "SCARD_IOCTL_ENDTRANSACTION", "Long_Return"},
    Ioctl{ioctl::state, "SCARD_IOCTL_STATE", "State_Return"},
    Ioctl{ioctl::statusA, "SCARD_IOCTL_STATUSA", "Status_Return"},
    Ioctl{ioctl::statusW, "SCARD_IOCTL_STATUSW", "Status_Return"},
    Ioctl{ioctl::transmit, "SCARD_IOCTL_TRANSMIT", "Transmit_Return"},
    Ioctl{ioctl::control, "SCARD_IOCTL_CONTROL", "Control_Return"},
    Ioctl{ioctl::getAttrib, "SCARD_IOCTL_GETATTRIB", "GetAttrib_Return"},
    Ioctl{ioctl::setAttrib, "SCARD_IOCTL_SETATTRIB", "Long_Return"},
    Ioctl{ioctl::accessStartedEvent, "SCARD_IOCTL_ACCESSSTARTEDEVENT", "Long_Return"},
    Ioctl{ioctl::locateCardsByAtrA, "SCARD_IOCTL_LOCATECARDSBYATRA", "LocateCards_Return"},
    Ioctl{ioctl::locateCardsByAtrW, "SCARD_IOCTL_LOCATECARDSBYATRW", "LocateCards_Return"},
    Ioctl{ioctl::readCacheA, "SCARD_IOCTL_READCACHEA", "ReadCache_Return"},
    Ioctl{ioctl::readCacheW, "SCARD_IOCTL_READCACHEW", "ReadCache_Return"},
    Ioctl{ioctl::writeCacheA, "SCARD_IOCTL_WRITECACHEA", "Long_Return"},
    Ioctl{ioctl::writeCacheW, "SCARD_IOCTL_WRITECACHEW", "Long_Return"},
    Ioctl{ioctl::getTransmitCount, "SCARD_IOCTL_GETTRANSMITCOUNT", "GetTransmitCount_Return"},
    Ioctl{ioctl::getReaderIcon, "SCARD_IOCTL_GETREADERICON", "GetReaderIcon_Return"},
    Ioctl{ioctl::getDeviceTypeId, "SCARD_IOCTL_GETDEVICETYPEID", "GetDeviceTypeId_Return"},
};

// The entry of `code`; null for a code [MS-RDPESC] does not define.
constexpr const Ioctl* findIoctl(uint32_t code) {
    auto it = std::ranges::lower_bound(kIoctls, code, {}, &Ioctl::code);
    return it != kIoctls.end() && it->code == code ? &*it : nullptr;
}

}  // namespace kx_agent::smartcard

#pragma once
// The reader and group lists as PC/SC gives them, for the list calls and for the PnP count.
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "smartcard/pcsc/pcsc.h"
#include "smartcard/wire/char_form.h"

namespace kx_agent::smartcard {

enum class ListOf { readers, groups };

// pcsc-lite's largest reader list: PCSCLITE_MAX_READERS_CONTEXTS (16) names of at most
// MAX_READERNAME (128) bytes, and the NUL that ends the list.
inline constexpr DWORD kLargestList = 16 * 128 + 1;
// Beyond this a length a service reports is not believed (SCARD_E_NO_MEMORY): it keeps a
// service that reports an absurd length from making the agent allocate (or send) without limit.
inline constexpr DWORD kMaxList = 64 * 1024;

// The multi-string of SCardListReaders (every group) or SCardListReaderGroups on `service`, in
// UTF-8 with all its NULs. One round trip with room for pcsc-lite's largest list; only a list
// that did not fit (a service that serves more) is asked again, in a buffer of the length it
// needs.
std::expected<std::string, LONG> listOf(Pcsc& service, SCARDCONTEXT context, ListOf what);
// The same list in the form a call carries it (encodeMultiString), made from the bytes PC/SC
// wrote with no copy in between; W text that does not convert is SCARD_E_INVALID_PARAMETER.
std::expected<std::vector<uint8_t>, LONG> listIn(Pcsc& service, SCARDCONTEXT context, ListOf what,
                                                 CharForm form);

}  // namespace kx_agent::smartcard

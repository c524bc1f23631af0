#pragma once
// The socket calls whose form differs between POSIX and Winsock 2, behind one set of names.
// Everything else in velkin uses the calls both share (bind, listen, connect, getsockname,
// shutdown, inet_pton) through the headers included here. The Winsock side starts Winsock on
// first use and names the shutdown directions as POSIX does (SD_RECEIVE, SD_SEND and SD_BOTH
// have the same values).
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#ifndef SHUT_RDWR
#define SHUT_RD 0x00
#define SHUT_WR 0x01
#define SHUT_RDWR 0x02
#endif
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace vornic::velkin::net::sys {

#ifdef _WIN32
using Socket = SOCKET;
inline constexpr Socket kInvalidSocket = INVALID_SOCKET;
#else
using Socket = int;
inline constexpr Socket kInvalidSocket = -1;
#endif

// A TCP socket (IPv4 unless told AF_INET6) that child processes do not inherit;
// kInvalidSocket on failure.
Socket open_tcp(int family = AF_INET);
// An accepted connection, not inherited either; kInvalidSocket on failure.
Socket accept(Socket listener);
void close(Socket socket);
// Bytes received or sent, or -1 on failure (see last_error). Sending to a peer that has gone
// fails with an error and never raises a signal.
std::ptrdiff_t receive(Socket socket, void* buffer, std::size_t size);
std::ptrdiff_t send(Socket socket, const void* bytes, std::size_t size);
// Lets a listener take its port while earlier connections on it linger, and no more: on
// Windows SO_REUSEADDR would let a second listener take a port that is in use, so there the
// port is claimed exclusively instead. 0 or -1.
int allow_address_reuse(Socket listener);
// Waits up to `timeout` for bytes (or the peer's end) to read: 1 when there are, 0 when time
// ran out, -1 on failure.
int wait_readable(Socket socket, std::chrono::milliseconds timeout);
// Whether the peer has closed or reset the connection, asked without waiting and without
// taking any byte. (Where the system cannot tell a close apart from bytes still unread, as
// Winsock cannot, a close behind unread bytes shows once they are read.)
bool peer_closed(Socket socket);
// setsockopt with an int value; 0 or -1.
int set_int_option(Socket socket, int level, int name, int value);
// The receive time-out: nullopt blocks without limit. 0 or -1.
int set_receive_timeout(Socket socket, std::optional<std::chrono::milliseconds> timeout);
// How a read waits for bytes within a bound of its own. True (POSIX): it is one receive under
// the receive time-out, which fails with a code that `timed_out` names when the time-out runs
// out and leaves the socket as it was. False (Winsock, which leaves a socket indeterminate
// after a receive has timed out: it "should not be used"): a wait_readable within the bound,
// then the receive.
extern const bool kReceiveUnderTimeout;
// Whether a failed receive's code means that its receive time-out ran out (EAGAIN or
// EWOULDBLOCK; WSAETIMEDOUT).
bool timed_out(int code);
// The send time-out: a send that can pass no byte for that long fails. nullopt blocks without
// limit. 0 or -1.
int set_send_timeout(Socket socket, std::optional<std::chrono::milliseconds> timeout);

// The code of the calling thread's last failed socket call (errno, WSAGetLastError).
int last_error();
// Whether that code means the call was interrupted and may simply be repeated.
bool interrupted(int code);
// Whether it means the process or the system has no descriptors (or buffers) left: an accept
// that fails so keeps failing until connections end.
bool out_of_descriptors(int code);
// Whether a bind failed because another socket holds the address.
bool address_in_use(int code);
// The system's text for a code, without a trailing line end.
std::string error_text(int code);

}  // namespace vornic::velkin::net::sys

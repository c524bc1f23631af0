#pragma once
// A small multi-threaded HTTP/1.1 server: one request per connection, a handler table by
// route with a default handler, and the WebSocket (RFC 6455) operations on an upgraded request.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velkin/http/frame_parser.h"
#include "velkin/http/head_parser.h"
#include "velkin/http/ws_message.h"
#include "velkin/mime.h"
#include "velkin/net.h"

namespace vornic::velkin::http {

using net::IoError;
using net::IoResult;

// The time a client has for its whole request head, however it spaces its bytes (a per-read
// time-out would let a head that trickles in a byte at a time keep its connection for days).
inline constexpr std::chrono::milliseconds kHeadDeadline{10000};
// A connection the server ends on its own (a refused upgrade, a failed WebSocket) is shut down
// lingering, so that its last answer is not lost to a reset: at most this long, this much input.
inline constexpr std::chrono::milliseconds kLingerTime{1000};
inline constexpr std::size_t kLingerBytes = 256 * 1024;
// A connection closed after its request has been answered: what the client sent beyond the
// head (a pipelined request, a body no handler read) is read and dropped first, at most this
// much for at most this long, so that the answer is not reset away.
inline constexpr std::chrono::milliseconds kAnsweredLingerTime{1000};
inline constexpr std::size_t kAnsweredLingerBytes = 8 * 1024;
// The most one read of a WebSocket takes from the socket.
inline constexpr std::size_t kWsReadSize = 16 * 1024;

// How long a WebSocket may be quiet between frames: after `quiet` without a byte the server
// pings, and when nothing comes within `answer` more it closes (1001) and the read fails.
struct IdleLimit {
    std::chrono::milliseconds quiet;
    std::chrono::milliseconds answer;
};

// One parsed request together with the connection it arrived on. Destroying it closes the
// connection.
struct HttpRequest {
    explicit HttpRequest(net::TcpStream connection) : stream(std::move(connection)) {}

    std::string method;  // as sent, case kept
    std::string path;    // request target as sent: path and query, not decoded
    // From the last if-modified-since header that parsed as an HTTP-date.
    std::optional<std::chrono::system_clock::time_point> if_modified_since;
    net::TcpStream stream;
    std::optional<std::string> handler_context;  // the chosen handler's context
    std::optional<std::string> upgrade;          // last upgrade header
    std::optional<std::string> content_type;     // from the MIME map, when one is installed
    std::optional<std::string> origin;           // last origin header
    std::vector<std::string> header_names;       // lower-cased, arrival order, duplicates kept
    std::vector<std::string> header_values;      // same order and length
    std::optional<IdleLimit> idle_limit;         // for read_ws; none: it waits without limit
    // The time the peer has to take each whole frame written; none: the stream's write
    // time-out alone bounds each send.
    std::optional<std::chrono::milliseconds> write_limit;

    // Queries.
    bool is_websockt() const;  // upgrade is exactly "websocket"
    std::optional<std::string> get_ext() const;
    std::string get_route() const;
    std::optional<std::string> get_value(std::string_view name) const;  // first header so named
    bool from_origin(std::string_view allowed) const;
    IoResult<void> dipatch(const std::function<IoResult<void>(HttpRequest&)>& func);

    // Responses: one complete response, "Connection: close". By default any page may read it
    // (Access-Control-Allow-Origin: *); `allow_any_origin` false leaves that header out, and
    // `extra_headers` (whole lines, each ending in CR LF) go into the head as they are.
    struct ResponseHeaders {
        bool allow_any_origin = true;
        std::string_view extra_headers;
    };
    IoResult<void> write_bytes(std::span<const uint8_t> body, uint32_t status,
                               std::string_view content_type);
    IoResult<void> write_bytes(std::span<const uint8_t> body, uint32_t status,
                               std::string_view content_type, const ResponseHeaders& headers);
    IoResult<void> write_text(std::string_view text, uint32_t status,
                              std::string_view content_type);
    IoResult<void> write_text(std::string_view text, uint32_t status, std::string_view content_type,
                              const ResponseHeaders& headers);

    // WebSocket opening handshake (http/websocket.cpp). Fails when sec-websocket-key is absent.
    IoResult<std::string> get_key_accept() const;
    IoResult<void> write_ws_def_header();

    // WebSocket frames (http/websocket.cpp, over websocket::FrameParser). What a read takes
    // beyond the frames asked for stays with the request for the next call.
    // Reads one client frame, appends its unmasked payload to `message`, returns the frame's
    // first header byte (FIN, RSV1-3, opcode).
    IoResult<std::size_t> read_frame(std::vector<uint8_t>& message);
    // Reads until one complete data message or a close frame; answers pings and closes. A frame
    // that breaks RFC 6455 fails the connection: a close frame with status 1002 goes out and the
    // error is returned, after which the caller must close the connection. Waits on the socket
    // only when the bytes already read make no message; with an idle limit, each such wait
    // (within a frame too) pings a quiet peer and ends one that does not answer (read_awake).
    IoResult<websocket::WsMessage> read_ws();
    // As read_ws, for a caller that waits for the socket itself beside other work: the next
    // message from the bytes already read, after at most one read of the socket when `read`
    // (which then has bytes, or the peer's end, to read). nullopt when what came (a ping, a
    // pong, part of a frame) makes no message yet.
    IoResult<std::optional<websocket::WsMessage>> read_ws_ready(bool read);
    // Bytes the client sent behind the head, which the head's reads took along (the first
    // frames, when the client did not wait for the 101): read_ws takes them before the socket.
    void keep_after_head(std::span<const uint8_t> bytes);
    // Bytes read from the socket that no read_ws has taken yet (what the client sent behind the
    // last message): the socket's readiness does not show them.
    std::span<const uint8_t> ws_unread() const;
    // The buffer of a binary message read_ws handed out, once the caller is done with it: the
    // next message is gathered into it (websocket::FrameParser::give_back).
    void give_back_ws(std::vector<uint8_t>&& buffer) { frames_.give_back(std::move(buffer)); }
    IoResult<void> write_frame(uint8_t opcode, std::optional<std::span<const uint8_t>> payload);
    IoResult<void> write_ws_binary(std::span<const uint8_t> data);
    IoResult<void> write_ws_pong(std::optional<std::span<const uint8_t>> payload);
    IoResult<void> close_ws(std::optional<unsigned> status,
                            std::optional<std::span<const uint8_t>> reason);

private:
    // One read of what the socket holds into the frame parser, a read_awake when there is an
    // idle limit and `wait_first`; the end of the stream is an error.
    IoResult<void> receive_ws(bool wait_first = true);
    // One read into `into` that waits for a byte (or the peer's end), pinging once after
    // `limit.quiet`; fails, having sent close 1001, when nothing comes within `limit.answer`
    // more. Bytes read (0 at the end).
    IoResult<std::size_t> read_awake(std::span<uint8_t> into, const IdleLimit& limit);
    // The next message in the bytes held, answering pings and a close on the way; nullopt when
    // they hold none.
    IoResult<std::optional<websocket::WsMessage>> take_ws();
    // Sends the close frame the refusal asks for (none for an unmasked frame), lingers, and
    // returns the error for the caller to pass up.
    IoError fail_ws(websocket::FrameError error);

    websocket::FrameParser frames_;
    // The last frame written, kept for the room it holds (at most websocket::kKeptBufferSize).
    std::vector<uint8_t> frame_out_;
};

// Reads the request head in bulk through a HeadParser. Returns the head, with what its reads
// took behind it, once the blank line ends it (CR LF CR LF, or two bare line feeds, which the
// parser then refuses); when a read fails, the peer closes or `deadline` has passed first, the
// bytes that came (possibly none) as a head without its end and nothing after it. Fails when
// kMaxHeadSize bytes hold no end. Without a deadline, the stream's own read time-out (if any)
// bounds each read.
IoResult<Head> read_header(net::TcpStream& stream);
IoResult<Head> read_header(net::TcpStream& stream, std::chrono::milliseconds deadline);
// Whether a head ends with its blank line (LF CR LF).
bool is_head_complete(std::span<const uint8_t> head);

// Decides whether an upgrade request may become a WebSocket, before anything is answered. The
// server's owner installs one to refuse, say, pages of foreign origins.
using UpgradeCheck = std::function<bool(const HttpRequest&)>;

// Parses a head (header names are lower-cased in place) into a request that owns `stream`. For
// an upgrade request that `accept_upgrade` (when given) lets through, the 101 handshake response
// has been written and flushed when it returns; one that it refuses is answered with a complete
// "403 Forbidden" response instead and fails with "WebSocket upgrade refused".
// Fails with "No method" when the first line has no space. A head that could be read in more
// than one way is answered "400 Bad Request" and fails with "Bad request head: " and the
// reason: a line that ends in a bare line feed, a head without its blank line, a header name
// with white space before its colon (RFC 7230 3.2.4), or more than one Origin header.
// `after` is what the client sent behind the head (Head::after): an upgraded request keeps it
// for read_ws.
IoResult<HttpRequest> from_header(std::vector<uint8_t>& head, net::TcpStream stream,
                                  const UpgradeCheck& accept_upgrade = {},
                                  std::span<const uint8_t> after = {});

// Status line text with its CR LF ("404 Not Found\r\n"); "200 Unknown\r\n" for other codes.
std::string_view get_status_msg(uint32_t status);

// RFC 7231 7.1.1.1 HTTP-date: IMF-fixdate, and the obsolete RFC 850 and asctime forms.
std::optional<std::chrono::system_clock::time_point> parse_http_date(std::string_view text);

// Where the server's own lines go (a connection that failed, an accept that failed). The
// default writes errors on standard error and the accept loop's lines on standard output, each
// line whole; a program with its own output path hands the server a sink of its own.
enum class LogLevel {
    error,   // a connection ended by a failure
    notice,  // the accept loop: a failed accept, the connection bound reached, and recovery
    detail,  // each refused connection or upgrade, and a peer's end without a word (the default
             // sink drops these)
};
using LogSink = std::function<void(LogLevel, std::string)>;
void default_log(LogLevel level, std::string line);

struct HandlerEntry {
    std::optional<std::string> context;  // copied into the request's handler_context
    std::function<IoResult<void>(HttpRequest&)> func;
};

// Routes by exact first path segment (see HttpRequest::get_route), then the default handler.
// Filled before the server starts; read-only afterwards.
class HandlerManager {
public:
    std::map<std::string, HandlerEntry, std::less<>> routes;
    std::optional<HandlerEntry> def_handler;
    std::optional<mime::MimeType> mime;
    UpgradeCheck upgrade_check;  // empty: every upgrade request is answered 101
    std::chrono::milliseconds head_deadline = kHeadDeadline;
    LogSink log = default_log;

    void set_def_handler(HandlerEntry entry);
    void set_upgrade_check(UpgradeCheck check);
    void add_route(std::string route, HandlerEntry entry);
    void set_mime(mime::MimeType types);
    const HandlerEntry* get_handler(std::string_view route) const;
};

// What one connection thread runs: read the head within the head deadline, parse, pick the
// handler, call it once, close (lingering: kAnsweredLingerTime, kAnsweredLingerBytes).
void handle_connection(net::TcpStream stream, std::shared_ptr<const HandlerManager> handlers);

class HttpServer {
public:
    HttpServer();
    ~HttpServer();  // calls stop
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Table changes are allowed only before start: from then on connection threads read it.
    void set_def_handler(HandlerEntry entry);
    void add_route(std::string route, HandlerEntry entry);
    void set_mime(mime::MimeType types);
    void set_upgrade_check(UpgradeCheck check);
    // At most this many connections at once (0: no bound); a connection accepted beyond it is
    // closed at once, without a response, so that it costs neither a thread nor a wait.
    void set_max_connections(std::size_t bound);
    void set_head_deadline(std::chrono::milliseconds deadline);
    void set_log(LogSink sink);
    // Runs `hook` on the thread of a connection that ends leaving none open (a burst of
    // connections is over, say), before that thread ends. Set before start.
    void on_idle(std::function<void()> hook);

    // Runs the accept loop on the calling thread, one detached thread per connection; returns
    // once stop has been called. The listener must outlive the call. Several listeners (one
    // address in IPv4 and IPv6, say) each get a start on a thread of their own: all share the
    // handlers and the connection bound, and all end with stop.
    void start(net::TcpListener& listener);
    // Ends the accept loops by clearing the running flag and waking each accept with a
    // connection of its own. A second call does nothing.
    void stop();
    // Connections open now (accepted and not yet ended).
    std::size_t open_connections() const;

private:
    void accept_loop(net::TcpListener& listener);

    std::shared_ptr<std::atomic<bool>> running_;
    std::shared_ptr<HandlerManager> handlers_;
    std::shared_ptr<std::atomic<std::size_t>> open_;
    std::shared_ptr<std::function<void()>> idle_;
    std::size_t max_connections_ = 0;
    std::mutex local_addr_mutex_;  // start records the addresses on one thread, stop reads them
    std::vector<net::SocketAddress> local_addrs_;
    bool stopped_ = false;  // under local_addr_mutex_
};

}  // namespace vornic::velkin::http

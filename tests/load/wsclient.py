"""A small blocking WebSocket client (RFC 6455) that can also misbehave: it sends frames as
given, masked or not, whole or cut short, so the load test can play broken and vanishing peers.
"""
import base64
import os
import socket
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import ioctls  # noqa: E402  (the agent's one list of I/O control codes)

HOST, PORT = "127.0.0.1", 8095
KEY = base64.b64encode(b"tolvane-load-key").decode()

# [MS-RDPESC] I/O control codes the test uses, from the agent's one list; UNKNOWN is in no list.
ESTABLISH, RELEASE, IS_VALID = ioctls.establishContext, ioctls.releaseContext, ioctls.isValidContext
LIST_READERS, GET_STATUS_CHANGE = ioctls.listReadersA, ioctls.getStatusChangeA
INTRODUCE_GROUP_A, UNKNOWN = ioctls.introduceReaderGroupA, 0x000900E4
assert UNKNOWN not in ioctls.CODES.values()
SCARD_E_UNSUPPORTED_FEATURE = 0x80100022
SCARD_E_NO_MEMORY = 0x80100006
SCARD_STATE_EMPTY = 0x10


class Closed(Exception):
    """The agent closed the connection (end of stream or a reset)."""


def call(code, body=b"", device_id=1, completion_id=2):
    """03 03, code, DeviceId, CompletionId, Common and Private Type Headers, body."""
    return (bytes([3, 3]) + struct.pack("<III", code, device_id, completion_id)
            + bytes.fromhex("01100800CCCCCCCC") + struct.pack("<II", len(body), 0) + body)


def establish_call(completion_id=2):
    return call(ESTABLISH, struct.pack("<I", 2), completion_id=completion_id)


def context_call(code, reference, completion_id=2):
    return call(code, struct.pack("<III", len(reference), 0x00020000, len(reference)) + reference,
                completion_id=completion_id)


WRITE_CACHE = ioctls.writeCacheA


def write_cache_call(reference, card_id, name=b"", data=b"", completion_id=2):
    """WriteCacheA: the item named by the 16-byte card identifier and the lookup name."""
    body = struct.pack("<IIIIIII", 0x00020000, len(reference), 0x00020004, 0x00020008, 0, len(data),
                       0x0002000C if data else 0)
    raw = name + b"\0"
    body += struct.pack("<III", len(raw), 0, len(raw)) + raw + b"\0" * ((4 - len(raw) % 4) % 4)
    body += struct.pack("<I", len(reference)) + reference + card_id
    if data:
        body += struct.pack("<I", len(data)) + data + b"\0" * ((4 - len(data) % 4) % 4)
    return call(WRITE_CACHE, body, completion_id=completion_id)


def reader_name(name):
    raw = name.encode() + b"\0"
    return struct.pack("<III", len(raw), 0, len(raw)) + raw + b"\0" * ((4 - len(raw) % 4) % 4)


def status_change_call(reference, reader, state, timeout=0xFFFFFFFF):
    body = struct.pack("<IIIII", len(reference), 0x00020000, timeout, 1, 0x00020004)
    body += struct.pack("<I", len(reference)) + reference + struct.pack("<I", 1)
    body += struct.pack("<IIII", 0x00020008, state, 0, 0) + b"\0" * 36 + reader_name(reader)
    return call(GET_STATUS_CHANGE, body)


def u32(data, offset):
    return struct.unpack_from("<I", data, offset)[0]


def check_reply(reply, completion_id=None):
    """The framing every call reply keeps; returns its ReturnCode."""
    if len(reply) < 46 or reply[:6] != b"\x03\x03\x72\x44\x43\x49":
        raise AssertionError(f"not a call reply: {reply[:16].hex()}")
    obl = u32(reply, 30)
    if u32(reply, 18) != obl + 16 or len(reply) != 38 + obl or u32(reply, 14) != 0:
        raise AssertionError(f"reply lengths broken: {reply[:40].hex()}")
    if completion_id is not None and u32(reply, 10) != completion_id:
        raise AssertionError(f"CompletionId {u32(reply, 10)} for {completion_id}")
    return u32(reply, 38)


def frame(opcode, payload=b"", fin=True, masked=True, length=None):
    """A client frame; `length` may claim another payload length than the bytes given."""
    n = len(payload) if length is None else length
    head = bytes([(0x80 if fin else 0) | opcode])
    bit = 0x80 if masked else 0
    if n > 0xFFFF:
        head += bytes([bit | 127]) + struct.pack(">Q", n)
    elif n > 125:
        head += bytes([bit | 126]) + struct.pack(">H", n)
    else:
        head += bytes([bit | n])
    if not masked:
        return head + payload
    mask = os.urandom(4)
    return head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))


def upgrade_head(origin=None):
    head = (f"GET / HTTP/1.1\r\nHost: {HOST}:{PORT}\r\nUpgrade: websocket\r\n"
            f"Connection: Upgrade\r\nSec-WebSocket-Key: {KEY}\r\nSec-WebSocket-Version: 13\r\n")
    if origin:
        head += f"Origin: {origin}\r\n"
    return (head + "\r\n").encode()


def hard_close(sock):
    """Vanish with a reset, as a crashed browser or a lost network does."""
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    sock.close()


class WsClient:
    def __init__(self, timeout=20):
        self.sock = socket.create_connection((HOST, PORT), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""
        self.sock.sendall(upgrade_head())
        head = self._read_until(b"\r\n\r\n")
        if not head.startswith(b"HTTP/1.1 101 "):
            raise AssertionError(f"upgrade refused: {head[:60]!r}")

    def _fill(self):
        try:
            chunk = self.sock.recv(65536)
        except ConnectionResetError as error:
            raise Closed() from error
        if not chunk:
            raise Closed()
        self.buffer += chunk

    def _read_until(self, marker):
        while marker not in self.buffer:
            self._fill()
        head, _, self.buffer = self.buffer.partition(marker)
        return head + marker

    def _read(self, n):
        while len(self.buffer) < n:
            self._fill()
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        return data

    def send_raw(self, data):
        self.sock.sendall(data)

    def send(self, payload, opcode=2):
        self.sock.sendall(frame(opcode, payload))

    def recv_frame(self):
        """(opcode, payload) of the next server frame."""
        first, second = self._read(2)
        if second & 0x80:
            raise AssertionError("server frame masked")
        n = second & 0x7F
        if n == 126:
            n = struct.unpack(">H", self._read(2))[0]
        elif n == 127:
            n = struct.unpack(">Q", self._read(8))[0]
        return first & 0x0F, self._read(n)

    def recv(self):
        """The next binary message, pongs skipped."""
        while True:
            opcode, payload = self.recv_frame()
            if opcode == 2:
                return payload
            if opcode == 8:
                raise Closed()

    def roundtrip(self, payload):
        self.send(payload)
        return self.recv()

    def expect_closed(self):
        """True when the agent ends the connection (a close frame or end of stream) and sends
        no message before it."""
        try:
            while True:
                opcode, _ = self.recv_frame()
                if opcode == 8:
                    return True
                if opcode == 2:
                    return False
        except TimeoutError:
            return False  # still open
        except (Closed, OSError):
            return True

    def close(self):
        try:
            self.sock.sendall(frame(8))
        except OSError:
            pass
        self.sock.close()

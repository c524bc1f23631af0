"""Starts the real agent binary on 127.0.0.1:8095 and talks to it as clients do."""
import asyncio
import os
import socket
import struct
import subprocess
import sys
import threading
import time

import websockets

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import ioctls  # noqa: E402  (the agent's one list of I/O control codes)

AGENT = os.environ.get("AGENT", "")
PORT = 8095
URI = f"ws://127.0.0.1:{PORT}"
READY = "Tolvane Agent is ready on port 8095."
NO_CONFIG = "/nonexistent/tolvane-agent-tests"


class Agent:
    """The agent as a child process; its standard output and error are collected. `env` adds
    variables (TOLVANE_MAX_CONNECTIONS=...), `files` runs it under that descriptor limit, and
    read_stdout=False leaves its standard output a pipe that nobody reads."""

    def __init__(self, *args, exe=None, argv0=None, prefix=(), config_home=NO_CONFIG, env=None,
                 files=None, read_stdout=True):
        """prefix: a command that runs the agent (prlimit, setpriv ...), ending in "--"."""
        self.exe = exe or AGENT
        if prefix:
            command, executable = [*prefix, self.exe, *args], prefix[0]
        else:
            command, executable = [argv0 or self.exe, *args], self.exe
        if files is not None:
            command, executable = ["prlimit", f"--nofile={files}", "--", *command], None
        # The user's origin file is looked for under $XDG_CONFIG_HOME: by default a folder that
        # does not exist, so that no origin file of the machine's user changes what is tested.
        environment = {**os.environ, "XDG_CONFIG_HOME": config_home, **(env or {})}
        self.proc = subprocess.Popen(command, executable=executable, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, env=environment)
        self.out_lines = []
        self.err_lines = []
        self._ready = threading.Event()
        self._readers = [threading.Thread(target=self._collect, args=(self.proc.stderr, self.err_lines), daemon=True)]
        if read_stdout:
            self._readers.append(threading.Thread(target=self._collect, args=(self.proc.stdout, self.out_lines),
                                                  daemon=True))
        for r in self._readers:
            r.start()

    def _collect(self, stream, lines):
        for raw in stream:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            lines.append(line)
            if line == READY:
                self._ready.set()

    def wait_ready(self, timeout=15):
        if len(self._readers) == 1:  # standard output unread: the port tells
            deadline = time.monotonic() + timeout
            while time.monotonic() < deadline:
                try:
                    socket.create_connection(("127.0.0.1", PORT), timeout=1).close()
                    return self
                except OSError:
                    time.sleep(0.1)
            raise AssertionError(f"agent not listening; stderr={self.err_lines}")
        if not self._ready.wait(timeout):
            raise AssertionError(f"agent not ready; stdout={self.out_lines} stderr={self.err_lines}")
        return self

    def wait_exit(self, timeout=15):
        code = self.proc.wait(timeout)
        self._finish()
        return code

    def _finish(self):
        """Once the agent has ended: the rest of its output collected, and its pipes closed."""
        for r in self._readers:
            r.join(5)
        for pipe in (self.proc.stdout, self.proc.stderr):
            pipe.close()

    def stdout(self):
        return list(self.out_lines)

    def wait_for_line(self, line, timeout=5):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if line in self.out_lines:
                return True
            time.sleep(0.02)
        return False

    def wait_for_match(self, pattern, timeout=5, lines=None):
        """The first line (of standard output unless told) that matches the regular expression."""
        import re
        deadline = time.monotonic() + timeout
        while True:
            for line in list(self.out_lines if lines is None else lines):
                if re.fullmatch(pattern, line):
                    return line
            if time.monotonic() > deadline:
                return None
            time.sleep(0.02)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._finish()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def http_request(method, path, timeout=5, host=f"127.0.0.1:{PORT}", headers=""):
    """One raw HTTP/1.1 request (with that Host, none for None, and the header lines `headers`,
    each ending in CR LF); returns (status line, headers dict, body bytes)."""
    with socket.create_connection(("127.0.0.1", PORT), timeout=timeout) as s:
        host_line = f"Host: {host}\r\n" if host is not None else ""
        s.sendall(f"{method} {path} HTTP/1.1\r\n{host_line}{headers}\r\n".encode())
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(": ")
        headers[name.lower()] = value
    return lines[0], headers, body


UPGRADE = ("GET / HTTP/1.1\r\nHost: 127.0.0.1:8095\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n")


def masked_frame(first, payload=b"", mask=b"\x37\xfa\x21\x3d"):
    """A client frame with the first header byte `first` (FIN, RSV, opcode) and a short payload."""
    if len(payload) < 126:
        length = bytes([0x80 | len(payload)])
    elif len(payload) < 0x10000:
        length = bytes([0x80 | 126]) + struct.pack(">H", len(payload))
    else:
        length = bytes([0x80 | 127]) + struct.pack(">Q", len(payload))
    return bytes([first]) + length + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))


def raw_exchange(origin, frames=b"", timeout=5):
    """Sends an upgrade request (with that Origin, or none) and `frames` right behind it; returns
    everything the agent sends until it closes the connection. Fails if it does not close."""
    head = UPGRADE + (f"Origin: {origin}\r\n" if origin is not None else "") + "\r\n"
    with socket.create_connection(("127.0.0.1", PORT), timeout=timeout) as s:
        s.sendall(head.encode() + frames)
        data = b""
        while True:
            chunk = s.recv(65536)  # a time-out raises: the agent must end the connection itself
            if not chunk:
                return data
            data += chunk


SWITCHING = b"HTTP/1.1 101 Switching Protocols\r\n"


def call(code, body=b"", device_id=1, completion_id=2):
    """A relayed smart-card call: 03 03, code, ids, NDR type headers, body."""
    return (bytes([3, 3]) + struct.pack("<III", code, device_id, completion_id)
            + bytes.fromhex("011008 00CCCCCCCC".replace(" ", "")) + struct.pack("<II", len(body), 0) + body)


ESTABLISH, RELEASE, IS_VALID = ioctls.establishContext, ioctls.releaseContext, ioctls.isValidContext
LIST_READERS, CONNECT = ioctls.listReadersA, ioctls.connectA


def establish_call(scope=2):
    return call(ESTABLISH, struct.pack("<I", scope))


def context_call(code, reference):
    return call(code, struct.pack("<III", len(reference), 0x00020000, len(reference)) + reference)


def return_code(reply):
    return struct.unpack_from("<I", reply, 38)[0]


def run(coro, timeout=30):
    return asyncio.run(asyncio.wait_for(coro, timeout))


async def connect(origin=None, **kw):
    """A WebSocket connection to the agent; origin None sends no Origin header."""
    kwargs = dict(open_timeout=5, close_timeout=2, ping_interval=None)
    kwargs.update(kw)
    return await websockets.connect(URI, origin=origin, **kwargs)


async def roundtrip(ws, message, timeout=10):
    await ws.send(message)
    return await asyncio.wait_for(ws.recv(), timeout)


# The W forms of the calls that carry text: UTF-16LE, counted in 16-bit units.
LIST_READERS_W, GET_STATUS_CHANGE_W = ioctls.listReadersW, ioctls.getStatusChangeW
CONNECT_W, STATUS_W = ioctls.connectW, ioctls.statusW


def text(name, wide=False):
    """A reader name as the A (8-bit) or W (UTF-16LE) calls carry it."""
    return name.encode("utf-16-le") if wide else name.encode()


def reader_name(name, wide=False):
    """An NDR string of the reader name with its terminator: max count, offset, count, bytes, pad."""
    raw = text(name + "\0", wide)
    units = len(raw) // 2 if wide else len(raw)
    return struct.pack("<III", units, 0, units) + raw + b"\0" * ((4 - len(raw) % 4) % 4)


def connect_call(reference, reader, share_mode=2, protocols=3, wide=False):
    body = struct.pack("<IIIII", 0x00020000, len(reference), 0x00020004, share_mode, protocols)
    body += reader_name(reader, wide) + struct.pack("<I", len(reference)) + reference
    return call(CONNECT_W if wide else CONNECT, body)


GET_STATUS_CHANGE = ioctls.getStatusChangeA
SCARD_STATE_EMPTY = 0x10


def status_change_call(reference, readers, timeout=0xFFFFFFFF, wide=False):
    """readers: list of (name, known state)."""
    body = struct.pack("<IIIII", len(reference), 0x00020000, timeout, len(readers), 0x00020004)
    body += struct.pack("<I", len(reference)) + reference + struct.pack("<I", len(readers))
    for _, state in readers:
        body += struct.pack("<IIII", 0x00020008, state, 0, 0) + b"\0" * 36
    for name, _ in readers:
        body += reader_name(name, wide)
    return call(GET_STATUS_CHANGE_W if wide else GET_STATUS_CHANGE, body)


def list_readers_call(reference, wide=False):
    body = struct.pack("<IIIIII", len(reference), 0x00020000, 0, 0, 0, 0xFFFFFFFF)
    body += struct.pack("<I", len(reference)) + reference
    return call(LIST_READERS_W if wide else LIST_READERS, body)


class VirtualCard:
    """vsmartcard's vicc inserting a card into the first virtual reader while it runs. Holds the
    machine-wide card lock, as the C++ fixture does."""

    def __init__(self, port=35963):
        import fcntl
        import tempfile
        self.port = port
        self.lock = open("/tmp/tolvane-card.lock", "a+")
        fcntl.flock(self.lock, fcntl.LOCK_EX)
        self.shim = tempfile.mkdtemp(prefix="tolvane-vicc-")
        os.symlink("/usr/lib/python3/dist-packages/Cryptodome", os.path.join(self.shim, "Crypto"))
        self.proc = None

    def insert(self):
        env = dict(os.environ)
        env["PYTHONPATH"] = "/usr/lib/python3/site-packages/virtualsmartcard:" + self.shim
        # vpcd's address as such: "localhost" (vicc's default) needs /etc/hosts.
        self.proc = subprocess.Popen(["/usr/bin/python3", "/usr/bin/vicc", "-t", "iso7816", "-H", "127.0.0.1",
                                      "-P", str(self.port)], env=env, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        return self

    def remove(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def close(self):
        import fcntl
        import shutil
        self.remove()
        shutil.rmtree(self.shim, ignore_errors=True)
        fcntl.flock(self.lock, fcntl.LOCK_UN)
        self.lock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def thread_count(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def resident_kib(pid):
    """The process's resident memory (VmRSS) in KiB."""
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


class RawWebSocket:
    """A WebSocket client on a plain socket, for what a client library will not do: stop reading,
    send half a frame. `receive_buffer` shrinks the socket's receive buffer (set before connecting,
    so that the TCP window stays small)."""

    def __init__(self, receive_buffer=None, timeout=10):
        self.sock = socket.socket()
        if receive_buffer:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self.sock.settimeout(timeout)
        self.sock.connect(("127.0.0.1", PORT))
        self.sock.sendall((UPGRADE + "\r\n").encode())
        head = b""
        while not head.endswith(b"\r\n\r\n"):  # a byte at a time: no frame byte is taken
            byte = self.sock.recv(1)
            if not byte:
                raise AssertionError(f"no handshake answer: {head!r}")
            head += byte
        assert head.startswith(SWITCHING), head

    def _exact(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise ConnectionError("closed")
            data += chunk
        return data

    def send(self, payload, first=0x82):
        self.sock.sendall(masked_frame(first, payload))

    def recv(self):
        """The payload of the next binary frame (pings and pongs skipped)."""
        while True:
            first, second = self._exact(2)
            length = second & 0x7F
            if length == 126:
                length = struct.unpack(">H", self._exact(2))[0]
            elif length == 127:
                length = struct.unpack(">Q", self._exact(8))[0]
            payload = self._exact(length)
            if first & 0x0F == 0x2:
                return payload

    def roundtrip(self, message):
        self.send(message)
        return self.recv()

    def close(self):
        self.sock.close()


TRANSMIT, STATUS, CANCEL = ioctls.transmit, ioctls.statusA, ioctls.cancel
SCARD_E_CANCELLED = 0x80100002
FIRST_READER, SECOND_READER = "Virtual PCD 00 00", "Virtual PCD 00 01"


def with_completion_id(message, completion_id):
    """The same call with another CompletionId (bytes 10..13)."""
    return message[:10] + struct.pack("<I", completion_id) + message[14:]


def completion_id(reply):
    return struct.unpack_from("<I", reply, 10)[0]


def card_of(connect_reply):
    """The card handle's 8 reference bytes and the active protocol of a ConnectA reply."""
    return connect_reply[66:74], struct.unpack_from("<I", connect_reply, 58)[0]


def handle_prefix(context, card):
    return struct.pack("<IIII", len(context), 0x00020000, len(card), 0x00020004)


def handle_arrays(context, card):
    return struct.pack("<I", len(context)) + context + struct.pack("<I", len(card)) + card


def transmit_call(context, card, protocol, apdu):
    body = handle_prefix(context, card)
    body += struct.pack("<IIIIIIII", protocol, 0, 0, len(apdu), 0x00020008, 0, 0, 258)
    body += handle_arrays(context, card)
    body += struct.pack("<I", len(apdu)) + apdu + b"\0" * ((4 - len(apdu) % 4) % 4)
    return call(TRANSMIT, body)


def status_call(context, card, wide=False):
    body = handle_prefix(context, card) + struct.pack("<III", 0, 0, 36) + handle_arrays(context, card)
    return call(STATUS_W if wide else STATUS, body)


async def concurrent_connect(**kw):
    """A connection whose handshake asks for replies in any order."""
    ws = await connect(**kw)
    assert await roundtrip(ws, bytes([3, 1, 1])) == bytes([3, 2, 1])
    return ws


async def connect_card(ws, reference, reader=FIRST_READER, deadline=15, wide=False):
    """Connects to the card in `reader`, retrying while vicc reaches vpcd."""
    end = time.monotonic() + deadline
    while True:
        reply = await roundtrip(ws, connect_call(reference, reader, wide=wide))
        if return_code(reply) == 0 or time.monotonic() > end:
            return reply
        await asyncio.sleep(0.2)


BEGIN_TRANSACTION, END_TRANSACTION = ioctls.beginTransaction, ioctls.endTransaction
SCARD_E_NO_MEMORY = 0x80100006


def transaction_call(code, context, card, disposition=0):
    """BeginTransaction or EndTransaction: the card handle and a disposition."""
    body = handle_prefix(context, card) + struct.pack("<I", disposition) + handle_arrays(context, card)
    return call(code, body)


# Another PC/SC program on this machine (pcsc-lite through ctypes, in a process of its own): it
# connects to the card and takes a transaction, then lets both go.
OTHER_PROGRAM = r"""
import ctypes, sys
lib = ctypes.CDLL("libpcsclite.so.1")
lib.SCardEstablishContext.argtypes = [ctypes.c_ulong, ctypes.c_void_p, ctypes.c_void_p, ctypes.POINTER(ctypes.c_long)]
lib.SCardConnect.argtypes = [ctypes.c_long, ctypes.c_char_p, ctypes.c_ulong, ctypes.c_ulong,
                             ctypes.POINTER(ctypes.c_long), ctypes.POINTER(ctypes.c_ulong)]
for name in ("SCardBeginTransaction",):
    getattr(lib, name).argtypes = [ctypes.c_long]
for name in ("SCardEndTransaction", "SCardDisconnect"):
    getattr(lib, name).argtypes = [ctypes.c_long, ctypes.c_ulong]
lib.SCardReleaseContext.argtypes = [ctypes.c_long]
for f in (lib.SCardEstablishContext, lib.SCardConnect, lib.SCardBeginTransaction,
          lib.SCardEndTransaction, lib.SCardDisconnect, lib.SCardReleaseContext):
    f.restype = ctypes.c_long
context, card, protocol = ctypes.c_long(), ctypes.c_long(), ctypes.c_ulong()
assert lib.SCardEstablishContext(2, None, None, ctypes.byref(context)) == 0
rv = lib.SCardConnect(context, sys.argv[1].encode(), 2, 3, ctypes.byref(card), ctypes.byref(protocol))
if rv == 0:
    rv = lib.SCardBeginTransaction(card)
    lib.SCardEndTransaction(card, 0)
    lib.SCardDisconnect(card, 0)
lib.SCardReleaseContext(context)
sys.exit(0 if rv == 0 else 1)
"""


def other_program_takes_card(reader, timeout):
    """Whether another PC/SC program gets the card in `reader` and a transaction on it within
    `timeout` seconds."""
    try:
        return subprocess.run(["/usr/bin/python3", "-c", OTHER_PROGRAM, reader], timeout=timeout,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
    except subprocess.TimeoutExpired:  # run() has killed it
        return False

#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/), one small file per
valid call, head or frame sequence. The files are kept in the repository; run this again after
changing it (it replaces the seeds it writes and leaves other files alone)."""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# [MS-RDPESC] I/O control codes, from the agent's one list; UNKNOWN is in no list.
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
import ioctls  # noqa: E402

ESTABLISH, RELEASE, IS_VALID = ioctls.establishContext, ioctls.releaseContext, ioctls.isValidContext
INTRODUCE_GROUP_A, LIST_READERS_A = ioctls.introduceReaderGroupA, ioctls.listReadersA
GET_STATUS_CHANGE_A, CANCEL, CONNECT_A = ioctls.getStatusChangeA, ioctls.cancel, ioctls.connectA
RECONNECT, DISCONNECT = ioctls.reconnect, ioctls.disconnect
BEGIN, END = ioctls.beginTransaction, ioctls.endTransaction
STATUS_A, TRANSMIT, CONTROL, GET_ATTRIB = ioctls.statusA, ioctls.transmit, ioctls.control, ioctls.getAttrib
GET_DEVICE_TYPE_ID, UNKNOWN = ioctls.getDeviceTypeId, 0x000900E4
LIST_GROUPS_W, LIST_READERS_W = ioctls.listReaderGroupsW, ioctls.listReadersW
GET_STATUS_CHANGE_W, CONNECT_W, STATUS_W = ioctls.getStatusChangeW, ioctls.connectW, ioctls.statusW

CONTEXT = struct.pack("<Q", 0x0000A001)
CARD = struct.pack("<Q", 0x00010002)


def u32(*values):
    return struct.pack("<" + "I" * len(values), *values)


def pad4(data):
    return data + b"\0" * ((4 - len(data) % 4) % 4)


def call(code, body=b"", device_id=1, completion_id=2):
    """03 03, code, ids, Common and Private Type Headers, body."""
    return (bytes([3, 3]) + u32(code, device_id, completion_id)
            + bytes.fromhex("01100800CCCCCCCC") + u32(len(body), 0) + body)


def ndr_string(text, wide=False):
    raw = (text + "\0").encode("utf-16-le" if wide else "utf-8")
    count = len(raw) // 2 if wide else len(raw)
    return u32(count, 0, count) + pad4(raw)


def context_call(code, reference=CONTEXT):
    return call(code, u32(len(reference), 0x00020000, len(reference)) + reference)


def handle_part():
    return u32(len(CONTEXT), 0x00020000, len(CARD), 0x00020004)


def handle_refs():
    return u32(len(CONTEXT)) + CONTEXT + u32(len(CARD)) + CARD


def list_readers(length_only):
    return call(LIST_READERS_A, u32(8, 0x00020000, 0, 0, 1 if length_only else 0, 0xFFFFFFFF)
                + u32(8) + CONTEXT)


def list_readers_w():
    groups = "SCard$AllReaders\0\0".encode("utf-16-le")
    return call(LIST_READERS_W, u32(8, 0x00020000, len(groups), 0x00020004, 0, 0xFFFFFFFF)
                + u32(8) + CONTEXT + u32(len(groups)) + groups)


def list_groups_w():
    return call(LIST_GROUPS_W, u32(8, 0x00020000, 0, 0xFFFFFFFF) + u32(8) + CONTEXT)


def status_change(readers, timeout=0, wide=False):
    body = u32(8, 0x00020000, timeout, len(readers), 0x00020004) + u32(8) + CONTEXT
    body += u32(len(readers))
    for _, state in readers:
        body += u32(0x00020008, state, 0, 4) + b"\x3b\x80\x80\x01" + b"\0" * 32
    for name, _ in readers:
        body += ndr_string(name, wide)
    return call(GET_STATUS_CHANGE_W if wide else GET_STATUS_CHANGE_A, body)


def connect(reader="Virtual PCD 00 00", wide=False):
    body = u32(0x00020000, 8, 0x00020004, 2, 3) + ndr_string(reader, wide) + u32(8) + CONTEXT
    return call(CONNECT_W if wide else CONNECT_A, body)


def reconnect():
    return call(RECONNECT, handle_part() + u32(2, 3, 1) + handle_refs())


def disposition(code, value=0):
    return call(code, handle_part() + u32(value) + handle_refs())


def status(names=True, atr_length=32, wide=False):
    return call(STATUS_W if wide else STATUS_A, handle_part() + u32(0 if names else 1, 0xFFFFFFFF, atr_length)
                + handle_refs())


def transmit(apdu=b"\x00\xa4\x04\x00\x00", recv_pci=False, send_extra=b"", recv_extra=b"",
             recv_length=258, no_recv_buffer=False):
    body = handle_part()
    body += u32(2, len(send_extra), 0x00020008 if send_extra else 0)
    body += u32(len(apdu), 0x0002000C if apdu else 0)
    body += u32(0x00020010 if recv_pci else 0, 1 if no_recv_buffer else 0, recv_length)
    body += handle_refs()
    if send_extra:
        body += u32(len(send_extra)) + pad4(send_extra)
    if apdu:
        body += u32(len(apdu)) + pad4(apdu)
    if recv_pci:
        body += u32(2, len(recv_extra), 0x00020014 if recv_extra else 0)
        if recv_extra:
            body += u32(len(recv_extra)) + pad4(recv_extra)
    return call(TRANSMIT, body)


def control(code=0x42000C00, data=b"", out_size=256):
    body = handle_part() + u32(code, len(data), 0x00020008 if data else 0, 0, out_size)
    body += handle_refs()
    if data:
        body += u32(len(data)) + data
    return call(CONTROL, body)


def get_attrib(attr=0x00090303, length_only=False, length=0xFFFFFFFF):
    return call(GET_ATTRIB, handle_part() + u32(attr, 1 if length_only else 0, length)
                + handle_refs())


# Calls, each valid for the handler that reads it, plus the framing's own cases.
CALLS = {
    "handshake": bytes([3, 1]),
    "establish_system": call(ESTABLISH, u32(2)),
    "establish_user": call(ESTABLISH, u32(0)),
    "release": context_call(RELEASE),
    "release_empty": context_call(RELEASE, b""),
    "is_valid": context_call(IS_VALID),
    "is_valid_4": context_call(IS_VALID, struct.pack("<I", 0xA001)),
    "cancel": context_call(CANCEL),
    "list_readers_length": list_readers(True),
    "list_readers": list_readers(False),
    "status_change_none": status_change([]),
    "status_change_one": status_change([("Virtual PCD 00 00", 0x10)]),
    "status_change_pnp": status_change([("Virtual PCD 00 00", 0x22), ("\\\\?PnP?\\Notification", 0)],
                                       timeout=100),
    "connect": connect(),
    "list_readers_w": list_readers_w(),
    "list_groups_w": list_groups_w(),
    "status_change_w_pnp": status_change([("Virtual PCD 00 00", 0x22),
                                          ("\\\\?PnP?\\Notification", 0x00020000)],
                                         timeout=100, wide=True),
    "connect_w": connect("Lecteur \u00e9", wide=True),
    "status_w": status(wide=True),
    "reconnect": reconnect(),
    "disconnect": disposition(DISCONNECT, 0),
    "begin_transaction": disposition(BEGIN),
    "end_transaction": disposition(END, 1),
    "status": status(),
    "status_no_names": status(names=False, atr_length=36),
    "transmit": transmit(),
    "transmit_recv_pci": transmit(recv_pci=True),
    "transmit_extras": transmit(send_extra=b"\x01\x02\x03", recv_pci=True, recv_extra=b"\x04\x05"),
    "transmit_length_only": transmit(no_recv_buffer=True),
    "control": control(),
    "control_data": control(data=b"\xff\xc0\x00\x00\x00"),
    "get_attrib": get_attrib(),
    "get_attrib_length": get_attrib(length_only=True),
    "unsupported": call(INTRODUCE_GROUP_A, device_id=7, completion_id=9)[:14],
    "device_type_id": call(GET_DEVICE_TYPE_ID)[:14],
    "unknown": call(UNKNOWN)[:14],
    "not_a_call": bytes([1, 3]),
}
# Scenario byte of fuzz_process: 0 plain success, 0x40 through the ContextGuard, 0x01 failures,
# 0x20 large outputs, 0x08 a service that reports a short length.
SCENARIOS = {"establish_system": [0x40], "connect": [0x40, 0x01], "transmit": [0x20, 0x08],
             "list_readers": [0x20, 0x18], "control": [0x20], "get_attrib": [0x08],
             "status": [0x20, 0x80], "status_change_one": [0x40, 0x80]}


def frame(opcode, payload=b"", fin=True, mask=b"\x37\xfa\x21\x3d", form=None):
    """A client frame (masked unless mask is None); form forces the 16- or 64-bit length."""
    n = len(payload)
    head = bytes([(0x80 if fin else 0) | opcode])
    bit = 0x80 if mask is not None else 0
    if form == 64 or (form is None and n > 0xFFFF):
        head += bytes([bit | 127]) + struct.pack(">Q", n)
    elif form == 16 or (form is None and n > 125):
        head += bytes([bit | 126]) + struct.pack(">H", n)
    else:
        head += bytes([bit | n])
    if mask is None:
        return head + payload
    return head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))


FRAMES = {
    "binary": frame(2, b"\x03\x01"),
    "text": frame(1, b"hello"),
    "empty_binary": frame(2),
    "fragmented": frame(2, b"\x03\x03", fin=False) + frame(0, call(ESTABLISH, u32(2))[2:]),
    "fragmented_ping": frame(2, b"ab", fin=False) + frame(9, b"\x01\x02\x03") + frame(0, b"cd"),
    "len126": frame(2, bytes(range(126))),
    "len16_for_5": frame(2, b"12345", form=16),
    "len64_for_300": frame(2, b"x" * 300, form=64),
    "ping_empty": frame(9) + frame(2, b"\x03\x01"),
    "ping_payload": frame(9, b"\x01\x02\x03"),
    "pong": frame(10, b"z") + frame(1, b"t"),
    "close": frame(8),
    "close_status": frame(8, b"\x03\xe8bye"),
    "reserved_3": frame(3, b"dropped") + frame(0, b"kept"),
    "reserved_11": frame(11),
    "unmasked": frame(2, b"\x03\x01", mask=None),
    "too_big": bytes([0x82, 0xFF]) + struct.pack(">Q", 1 << 62) + b"\0\0\0\0",
    "too_big_fragments": frame(2, b"a", fin=False) + bytes([0x00, 0xFF]) + struct.pack(">Q", 1 << 20),
    "text_invalid_utf8": frame(1, b"\xc3\x28\xff"),
    "calls": frame(2, call(ESTABLISH, u32(2))) + frame(2, context_call(RELEASE)) + frame(8),
    "cut_short": frame(2, b"0123456789")[:9],
    # Frames RFC 6455 forbids: each fails the connection with close 1002.
    "rsv1": frame(0x42, b"r"),
    "ping_no_fin": frame(9, b"p", fin=False),
    "ping_126": frame(9, bytes(126)),
    "lone_continuation": frame(0, b"c"),
    "message_in_fragmented": frame(2, b"a", fin=False) + frame(1, b"b"),
    "close_one_byte": frame(8, b"\x03"),
    "close_1005": frame(8, b"\x03\xed"),
    "close_4000": frame(8, b"\x0f\xa0"),
}

KEY = "dGhlIHNhbXBsZSBub25jZQ=="


def upgrade(origin=None, extra=""):
    head = f"GET / HTTP/1.1\r\nHost: 127.0.0.1:8095\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    head += f"Sec-WebSocket-Key: {KEY}\r\nSec-WebSocket-Version: 13\r\n"
    if origin is not None:
        head += f"Origin: {origin}\r\n"
    return (head + extra + "\r\n").encode("latin-1")


HEADS = {
    "get_bridge": b"GET /bridge.html HTTP/1.1\r\nHost: a\r\n\r\n",
    "get_script": b"GET /bridge.js?v=2 HTTP/1.1\r\nHost: 127.0.0.1:8095\r\n\r\n",
    "get_other": b"GET /x/bridge.html HTTP/1.1\r\n\r\n",
    "get_api": b"GET /api/x/y HTTP/1.1\r\nHost: h\r\n\r\n",
    "post": b"POST /any HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
    "put": b"PUT / HTTP/1.1\r\n\r\n",
    "delete": b"DELETE /a.b/c HTTP/1.1\r\n\r\n",
    "no_version": b"GET /bridge.html\r\n\r\n",
    "no_method": b"GARBAGE\r\n\r\n",
    "empty": b"",
    "leading_crlf": b"\r\nGET / HTTP/1.1\r\n\r\n",
    "bare_lf": b"GET /bridge.html HTTP/1.1\nHost: a\n\n",
    "cut_short": b"GET /bridge.html HTTP/1.1\r\nHost: a\r\n",
    "no_space_value": b"GET / HTTP/1.1\r\nX-A:bc\r\nX:\r\nY: \r\n\r\n",
    "ims_imf": b"GET / HTTP/1.1\r\nIf-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n",
    "ims_rfc850": b"GET / HTTP/1.1\r\nIf-Modified-Since: Sunday, 06-Nov-94 08:49:37 GMT\r\n\r\n",
    "ims_asctime": b"GET / HTTP/1.1\r\nif-modified-since: Sun Nov  6 08:49:37 1994\r\n\r\n",
    "ims_bad": b"GET / HTTP/1.1\r\nIf-Modified-Since: Feb 30 99:99:99\r\n\r\n",
    "two_origins": b"GET / HTTP/1.1\r\nOrigin: https://rdp.example.com\r\nOrigin: http://x\r\n\r\n",
    "latin1": b"GET /caf\xe9.html HTTP/1.1\r\nOrigin: HTTPS://\xc9X\r\n\r\n",
    "upgrade": upgrade(),
    "upgrade_upper_name": upgrade().replace(b"Upgrade: websocket", b"UPGRADE: websocket"),
    "upgrade_wrong_case": upgrade().replace(b"Upgrade: websocket", b"Upgrade: WebSocket"),
    "upgrade_origin": upgrade("https://rdp.example.com"),
    "upgrade_agent_origin": upgrade("http://127.0.0.1:8095"),
    "upgrade_protocol_cookie": upgrade(extra="Sec-WebSocket-Protocol: chat, superchat\r\nCookie: a=b\r\n"),
    "upgrade_no_key": b"GET / HTTP/1.1\r\nUpgrade: websocket\r\n\r\n",
}

CONNECTIONS = {
    "bridge": b"GET /bridge.html HTTP/1.1\r\nHost: 127.0.0.1:8095\r\n\r\n",
    "foreign_host": b"GET /bridge.html HTTP/1.1\r\nHost: rebind.test:8095\r\n\r\n",
    "script_for_another_site": b"GET /bridge.js HTTP/1.1\r\nHost: localhost:8095\r\n"
                               b"Sec-Fetch-Site: same-site\r\n\r\n",
    "script": HEADS["get_script"],
    "post": HEADS["post"],
    "foreign_origin": upgrade("https://evil.example") + frame(2, b"\x03\x01"),
    "handshake": upgrade() + frame(2, b"\x03\x01") + frame(8),
    "text_then_call": upgrade() + frame(1, b"hi") + frame(2, call(ESTABLISH, u32(2))),
    "context_calls": upgrade() + b"".join(frame(2, CALLS[n]) for n in
                                         ("establish_system", "is_valid", "cancel", "release")),
    "reader_calls": upgrade() + b"".join(frame(2, CALLS[n]) for n in
                                        ("list_readers_length", "list_readers", "status_change_one")),
    "card_calls": upgrade() + b"".join(frame(2, CALLS[n]) for n in
                                      ("connect", "begin_transaction", "status", "transmit",
                                       "control", "get_attrib", "end_transaction", "disconnect")),
    "ping_between": upgrade() + frame(9, b"p") + frame(2, CALLS["reconnect"]),
    "short_call": upgrade() + frame(2, b"\x03\x03\x14\x00"),
    "not_a_call": upgrade() + frame(2, b"\x01\x03") + frame(2, b"\x03\x01"),
    "truncated_call": upgrade() + frame(2, CALLS["transmit_extras"][:60]),
    "vanish_mid_frame": upgrade() + frame(2, CALLS["connect"])[:20],
    # Replies in any order: calls on two contexts side by side, a wait and its cancel, a return
    # to strict order, and a client that goes while calls are in flight.
    "any_order": upgrade() + frame(2, b"\x03\x01\x01") + b"".join(
        frame(2, CALLS[n]) for n in ("establish_system", "status_change_pnp", "is_valid_4", "cancel",
                                     "connect", "transmit", "status", "list_readers", "release")),
    "any_order_then_strict": upgrade() + frame(2, b"\x03\x01\xff") + frame(2, CALLS["transmit"])
    + frame(2, CALLS["status_change_one"]) + frame(2, b"\x03\x01") + frame(2, CALLS["is_valid"]),
    "any_order_vanish": upgrade() + frame(2, b"\x03\x01\x01")
    + b"".join(frame(2, CALLS["status_change_one"]) for _ in range(70)),
}


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main():
    for name, message in CALLS.items():
        write("fuzz_process", name, b"\x00" + message)
        for scenario in SCENARIOS.get(name, []):
            write("fuzz_process", f"{name}_s{scenario:02x}", bytes([scenario]) + message)
    for name, data in FRAMES.items():
        write("fuzz_websocket", name, data)
    for name, data in HEADS.items():
        write("fuzz_http_head", name, data)
    for name, data in CONNECTIONS.items():
        write("fuzz_connection", name, data)


if __name__ == "__main__":
    main()

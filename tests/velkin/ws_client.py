"""A real WebSocket client (python websockets) against a velkin test server.

Usage: ws_client.py PORT. Talks to the echo handler of the C++ test (every message comes back
as one binary message: b"T" + text or b"B" + data) and prints one "key=value" line per
observation; the C++ test checks them.
"""
import asyncio
import sys

import websockets


async def talk(port):
    uri = f"ws://127.0.0.1:{port}/relay"
    async with websockets.connect(
        uri,
        subprotocols=["tolvane.v1", "other"],
        compression=None,
        open_timeout=5,
        close_timeout=5,
        ping_interval=None,
    ) as ws:
        print(f"subprotocol={ws.subprotocol}")

        await ws.send(b"\x01\x02\x03")
        print(f"binary_echo={(await ws.recv()).hex()}")

        await ws.send("h\u00e9llo")
        reply = await ws.recv()
        print(f"text_echo={reply.hex()}")

        # An iterable is sent as a fragmented message: one frame per item.
        await ws.send([b"frag", b"ment", b"ed"])
        print(f"fragmented_echo={(await ws.recv()).hex()}")

        pong = await ws.ping(b"are you there")
        await asyncio.wait_for(pong, 5)
        print("pong=ok")

        big = bytes(i % 251 for i in range(70000))
        await ws.send(big)
        reply = await ws.recv()
        print(f"big_echo_ok={reply == b'B' + big}")

        await ws.close()
    print(f"close_code={ws.close_code}")


def main():
    asyncio.run(asyncio.wait_for(talk(int(sys.argv[1])), 20))


if __name__ == "__main__":
    main()

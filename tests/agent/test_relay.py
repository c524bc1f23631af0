"""A web client's calls travel through the real agent to pcscd and back."""
import asyncio
import re
import socket
import struct
import time
import unittest

import websockets

from agent_harness import (READY, UPGRADE, Agent, RELEASE, IS_VALID, SWITCHING, call, connect, context_call,
                           establish_call, masked_frame, raw_exchange, return_code, roundtrip, run)


class Relay(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.agent = Agent().wait_ready()

    @classmethod
    def tearDownClass(cls):
        cls.agent.stop()

    def test_handshake_and_context_over_two_connections(self):
        async def scenario():
            first = await connect()
            second = await connect()
            try:
                self.assertEqual(await roundtrip(first, bytes([3, 1])), bytes([3, 2]))
                reply = await roundtrip(first, establish_call())
                self.assertEqual(len(reply), 62)
                self.assertEqual(return_code(reply), 0)
                reference = reply[-8:]
                # A context made on one connection is used and released over another.
                self.assertEqual(return_code(await roundtrip(second, context_call(IS_VALID, reference))), 0)
                self.assertEqual(return_code(await roundtrip(second, context_call(RELEASE, reference))), 0)
                self.assertEqual(return_code(await roundtrip(first, context_call(IS_VALID, reference))),
                                 0x80100003)
            finally:
                await first.close()
                await second.close()
        run(scenario())

    def test_text_is_printed_and_the_relay_goes_on(self):
        # A message may hold 1 MiB; its line is cut at 1 KiB (escaped, it would be 4 MiB).
        long_text = "\u00e9" * 2050 + "x" * (1024 * 1024 - 4100)
        async def scenario():
            ws = await connect()
            try:
                await ws.send("hello agent")
                await ws.send(long_text)
                self.assertEqual(await roundtrip(ws, bytes([3, 1])), bytes([3, 2]))
            finally:
                await ws.close()
        run(scenario())
        self.assertTrue(self.agent.wait_for_line("text:hello agent"), self.agent.stdout())
        # Cut between whole characters: 512 of the two-byte ones fit.
        cut = "text:" + "\u00e9" * 512 + f" ... ({len(long_text.encode()) - 1024} bytes more)"
        self.assertTrue(self.agent.wait_for_line(cut), [l[:80] for l in self.agent.stdout()])

    def test_text_cannot_forge_lines_or_drive_the_terminal(self):
        async def scenario():
            ws = await connect()
            try:
                await ws.send("one\nTolvane Agent is ready on port 8095.\r\x1b[2J\x07\x7f\u009b end")
                self.assertEqual(await roundtrip(ws, bytes([3, 1])), bytes([3, 2]))
            finally:
                await ws.close()
        run(scenario())
        line = "text:one\\nTolvane Agent is ready on port 8095.\\r\\x1b[2J\\x07\\x7f\\u009b end"
        self.assertTrue(self.agent.wait_for_line(line), self.agent.stdout())
        self.assertEqual(self.agent.stdout().count("Tolvane Agent is ready on port 8095."), 1)
        self.assertFalse(any("\x1b" in l or "\x07" in l for l in self.agent.stdout()))

    def test_protocol_errors_get_close_1002_and_the_end(self):
        failed = b"\x88\x02\x03\xea"
        cases = {
            "RSV bit": masked_frame(0xC2, bytes([3, 1])),
            "reserved opcode": masked_frame(0x83, bytes([3, 1])),
            "ping without FIN": masked_frame(0x09, b"p"),
            "ping of 126 bytes": masked_frame(0x89, bytes(126)),
            "lone continuation": masked_frame(0x80, bytes([3, 1])),
            "new message in a fragmented one": masked_frame(0x02, bytes([3])) + masked_frame(0x82, bytes([1])),
            "close with one byte": masked_frame(0x88, b"\x03"),
            "close with status 1006": masked_frame(0x88, b"\x03\xee"),
        }
        for name, frames in cases.items():
            with self.subTest(name):
                answer = raw_exchange(None, frames)
                self.assertTrue(answer.startswith(SWITCHING), answer)
                self.assertTrue(answer.endswith(b"\r\n\r\n" + failed), answer)
        with self.subTest("close echoed"):
            answer = raw_exchange(None, masked_frame(0x88, b"\x03\xe9bye"))
            self.assertTrue(answer.endswith(b"\r\n\r\n\x88\x02\x03\xe9"), answer)

    def test_unrecognised_message_closes_only_its_connection(self):
        async def scenario():
            doomed = await connect()
            other = await connect()
            try:
                await doomed.send(bytes([1, 3]))
                with self.assertRaises(websockets.ConnectionClosed):
                    await asyncio.wait_for(doomed.recv(), 5)
                self.assertEqual(await roundtrip(other, bytes([3, 1])), bytes([3, 2]))
                # The server still accepts new connections.
                fresh = await connect()
                self.assertEqual(await roundtrip(fresh, bytes([3, 1])), bytes([3, 2]))
                await fresh.close()
            finally:
                await other.close()
        run(scenario())

    def test_unsupported_call_is_answered(self):
        async def scenario():
            ws = await connect()
            try:
                msg = bytes([3, 3]) + (0x00090050).to_bytes(4, "little") + (7).to_bytes(4, "little") \
                    + (9).to_bytes(4, "little")
                reply = await roundtrip(ws, msg)
                self.assertEqual(reply.hex(" "),
                                 "03 03 72 44 43 49 07 00 00 00 09 00 00 00 00 00 00 00 18 00 00 00 "
                                 "01 10 08 00 cc cc cc cc 08 00 00 00 00 00 00 00 22 00 10 80 00 00 00 00")
            finally:
                await ws.close()
        run(scenario())


if __name__ == "__main__":
    unittest.main()


class TextFlood(unittest.TestCase):
    def test_a_text_flood_writes_little(self):
        # Text messages are no calls: each connection's first three are printed, the rest
        # counted when it ends, and all lines together get a few KiB a second.
        with Agent() as agent:
            agent.wait_ready()
            text = "x" * 4096

            async def flood(n):
                ws = await connect()
                try:
                    for _ in range(n):
                        await ws.send(text)
                    self.assertEqual(await roundtrip(ws, bytes([3, 1])), bytes([3, 2]))
                finally:
                    await ws.close()

            async def scenario():
                await flood(200)  # alone: its count is said
                await asyncio.gather(*(flood(200) for _ in range(10)))
            before = sum(len(line.encode()) + 1 for line in agent.stdout())
            started = time.monotonic()
            run(scenario(), timeout=120)
            self.assertTrue(agent.wait_for_match(r"connection \d+: 197 more text messages"),
                            agent.stdout()[-5:])
            time.sleep(0.5)
            written = sum(len(line.encode()) + 1 for line in agent.stdout()) - before
            self.assertLess(written, 1024 * 1024)  # 11 * 200 * 4 KiB were sent
            # A burst of 16 KiB, then 4 KiB a second.
            self.assertLess(written, 16384 + 4096 * (time.monotonic() - started + 1))

    def test_other_floods_write_little(self):
        # Unknown control codes, refused upgrades and peers that go without a close frame: one
        # line each only with --verbose, and then all of them under the same budget.
        trusted = "https://rdp.example.com"

        async def unknown_calls(n):
            ws = await connect(origin=trusted)
            try:
                for _ in range(n):
                    await ws.send(call(0x00090015))
                for _ in range(n):
                    await asyncio.wait_for(ws.recv(), 10)
            finally:
                await ws.close()

        def vanish(origin):
            with socket.create_connection(("127.0.0.1", 8095), timeout=5) as s:
                s.sendall((UPGRADE + f"Origin: {origin}\r\n\r\n").encode())
                s.recv(4096)

        for args, said in [((), None), (("--verbose",), r"\d+ lines not shown \(too many at once\)")]:
            with self.subTest(args=args), Agent(*args, "--origin", trusted) as agent:
                agent.wait_ready()
                written = lambda: sum(len(l.encode()) + 1 for l in agent.stdout() + agent.err_lines)
                before = written()
                started = time.monotonic()
                run(unknown_calls(3000), timeout=120)
                for _ in range(100):
                    vanish("https://evil.example")
                    vanish(trusted)
                time.sleep(1.5)  # the budget has room again: a line says what was left out
                vanish(trusted)
                took = time.monotonic() - started
                if said:
                    self.assertIsNotNone(agent.wait_for_match(said), agent.stdout()[-5:])
                else:
                    time.sleep(0.5)
                    self.assertEqual(agent.stdout()[-1], READY)
                    self.assertEqual(agent.err_lines, [])
                self.assertLess(written() - before, 16384 + 4096 * (took + 1))


class Log(unittest.TestCase):
    """What the agent says: with --verbose a line per call and why connections end or are
    refused; always, once, that the PC/SC service is not running."""

    def test_verbose_lines(self):
        helper = Agent("--help")
        helper.wait_exit()
        if not any("--verbose" in l for l in helper.out_lines):
            self.skipTest("this agent's command line has no --verbose")
        with Agent("--verbose", "--origin", "https://rdp.example.com") as agent:
            agent.wait_ready()
            self.assertEqual(raw_exchange("https://evil.example")[:12], b"HTTP/1.1 403")

            async def scenario():
                ws = await connect(origin="https://rdp.example.com")
                reply = await roundtrip(ws, establish_call())
                self.assertEqual(return_code(reply), 0)
                self.assertEqual(return_code(await roundtrip(ws, context_call(IS_VALID, b"\xff" * 8))),
                                 0x80100003)
                # A context count that is not cbContext: refused, and said once.
                bad_count = call(IS_VALID, struct.pack("<III", 8, 0x00020000, 4) + b"\x01\x00\x00\x00")
                self.assertEqual(return_code(await roundtrip(ws, bad_count)), 0x80100011)
                await roundtrip(ws, context_call(RELEASE, reply[-8:]))
                await ws.send(bytes([3, 9]))
                with self.assertRaises(websockets.ConnectionClosed):
                    await asyncio.wait_for(ws.recv(), 5)
            run(scenario())
            expected = [
                r"Connection refused: origin https://evil\.example is not trusted \(trusted: https://rdp\.example\.com\)",
                r"connection (\d+) opened \(origin https://rdp\.example\.com\)",
                r"connection \d+: SCARD_IOCTL_ESTABLISHCONTEXT -> SCARD_S_SUCCESS, \d+ us",
                r"connection \d+: SCARD_IOCTL_ISVALIDCONTEXT -> SCARD_E_INVALID_HANDLE, \d+ us",
                r"ERROR: isValidContext\(\), error: wrong size of card ctx: 4",
                r"connection \d+: SCARD_IOCTL_ISVALIDCONTEXT -> SCARD_E_INVALID_VALUE, \d+ us",
                r"connection \d+: SCARD_IOCTL_RELEASECONTEXT -> SCARD_S_SUCCESS, \d+ us",
                r"connection \d+: unrecognised message: 2 bytes \(03 09\); the connection ends",
                r"connection \d+ closed",
            ]
            for pattern in expected:
                self.assertIsNotNone(agent.wait_for_match(pattern), (pattern, agent.stdout()))
            # Each of them once: a call is decoded once, and says what it found once.
            for pattern in expected:
                said = [line for line in agent.stdout() if re.fullmatch(pattern, line)]
                self.assertEqual(len(said), 1, (pattern, said))

    def test_a_missing_service_is_said_once(self):
        # pcsc-lite finds pcscd through this socket name: none there is a service not running.
        with Agent(env={"PCSCLITE_CSOCK_NAME": "/nonexistent/pcscd.comm"}) as agent:
            agent.wait_ready()

            async def scenario():
                ws = await connect()
                try:
                    for _ in range(3):
                        self.assertEqual(return_code(await roundtrip(ws, establish_call())), 0x8010001D)
                finally:
                    await ws.close()
            run(scenario())
            said = r"The PC/SC service is not running \(SCARD_E_NO_SERVICE\).*"
            self.assertIsNotNone(agent.wait_for_match(said, lines=agent.err_lines), agent.err_lines)
            time.sleep(0.3)
            self.assertEqual(len([l for l in agent.err_lines if l.startswith("The PC/SC service")]), 1)
            self.assertFalse(any(l.startswith("connection ") for l in agent.stdout()))  # not verbose

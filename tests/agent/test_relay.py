"""A web client's calls travel through the real agent to pcscd and back."""
import asyncio
import unittest

import websockets

from agent_harness import (Agent, RELEASE, IS_VALID, SWITCHING, connect, context_call,
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
        async def scenario():
            ws = await connect()
            try:
                await ws.send("hello agent")
                self.assertEqual(await roundtrip(ws, bytes([3, 1])), bytes([3, 2]))
            finally:
                await ws.close()
        run(scenario())
        self.assertTrue(self.agent.wait_for_line("text:hello agent"), self.agent.stdout())

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

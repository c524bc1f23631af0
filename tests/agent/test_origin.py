"""Only the trusted page, and pages of the agent itself, may open the relay."""
import asyncio
import unittest

import websockets

from agent_harness import Agent, SWITCHING, connect, masked_frame, raw_exchange, roundtrip, run

TRUSTED = "https://rdp.example.com/client/"


class OriginCheck(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.agent = Agent("--origin", TRUSTED).wait_ready()

    @classmethod
    def tearDownClass(cls):
        cls.agent.stop()

    def answers(self, origin):
        async def scenario():
            try:
                ws = await connect(origin)
            except (websockets.InvalidHandshake, websockets.ConnectionClosed, OSError):
                return False
            try:
                return await roundtrip(ws, bytes([3, 1]), timeout=5) == bytes([3, 2])
            except (websockets.ConnectionClosed, websockets.InvalidHandshake,
                    websockets.exceptions.ProtocolError, asyncio.TimeoutError):
                return False
            finally:
                await ws.close()
        return run(scenario())

    def test_accepted(self):
        for origin in ["https://rdp.example.com", "http://127.0.0.1:8095", None]:
            with self.subTest(origin=origin):
                self.assertTrue(self.answers(origin))

    def test_refused(self):
        for origin in ["https://rdp.example.co", "https://rdp.example.com.evil.net",
                       "http://127.0.0.1", "", "HTTPS://RDP.EXAMPLE.COM", "https://evil.example"]:
            with self.subTest(origin=origin):
                self.assertFalse(self.answers(origin))

    def test_foreign_page_gets_403_before_any_upgrade(self):
        # A handshake frame right behind the head: were it relayed, 82 02 03 02 would come back.
        hello = masked_frame(0x82, bytes([3, 1]))
        answer = raw_exchange("https://evil.example", hello)
        self.assertTrue(answer.startswith(b"HTTP/1.1 403 Forbidden\r\n"), answer)
        self.assertNotIn(b"101", answer.split(b"\r\n")[0])
        self.assertNotIn(b"Upgrade", answer)
        head, _, body = answer.partition(b"\r\n\r\n")
        self.assertIn(b"Content-Length: 9", head)
        self.assertEqual(body, b"Forbidden")  # complete, and nothing relayed behind it
        # The trusted page, on the same agent, is upgraded and relayed as before.
        answer = raw_exchange("https://rdp.example.com", hello + masked_frame(0x88))
        self.assertTrue(answer.startswith(SWITCHING), answer)
        self.assertTrue(answer.endswith(b"\r\n\r\n\x82\x02\x03\x02\x88\x00"), answer)


if __name__ == "__main__":
    unittest.main()

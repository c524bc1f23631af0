"""Only the trusted page, and pages of the agent itself, may open the relay."""
import asyncio
import unittest

import websockets

from agent_harness import Agent, connect, roundtrip, run

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


if __name__ == "__main__":
    unittest.main()

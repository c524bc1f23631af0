"""Only the trusted page, and pages of the agent itself, may open the relay; with no origin
configured, only the pages of this computer."""
import asyncio
import socket
import unittest

import websockets

from agent_harness import (UPGRADE, Agent, SWITCHING, connect, masked_frame, raw_exchange, roundtrip,
                           run)

TRUSTED = "https://rdp.example.com/client/"


def answers(origin):
    """Whether a WebSocket of a page of `origin` (None: no Origin header) is relayed."""
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


class OriginCheck(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.agent = Agent("--origin", TRUSTED).wait_ready()

    @classmethod
    def tearDownClass(cls):
        cls.agent.stop()

    def test_accepted(self):
        # The agent's own page under each of its three names (its Host check serves them all).
        for origin in ["https://rdp.example.com", "http://127.0.0.1:8095", "http://localhost:8095",
                       "http://[::1]:8095", None]:
            with self.subTest(origin=origin):
                self.assertTrue(answers(origin))

    def test_refused(self):
        for origin in ["https://rdp.example.co", "https://rdp.example.com.evil.net",
                       "http://127.0.0.1", "", "HTTPS://RDP.EXAMPLE.COM", "https://evil.example",
                       "null", "http://localhost:3000", "http://localhost", "http://[::1]:3000",
                       "http://localhost:8095.evil.example"]:
            with self.subTest(origin=origin):
                self.assertFalse(answers(origin))

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


class NoOriginConfigured(unittest.TestCase):
    """No origin anywhere: the pages of this computer, never one from elsewhere."""

    @classmethod
    def setUpClass(cls):
        cls.agent = Agent("--verbose").wait_ready()

    @classmethod
    def tearDownClass(cls):
        cls.agent.stop()

    def test_pages_of_this_computer_only(self):
        for origin, relayed in [("http://localhost:3000", True), ("https://127.0.0.1:8443", True),
                                ("http://127.8.9.10", True), ("http://[::1]:3000", True),
                                ("http://127.0.0.1:8095", True), (None, True),
                                ("https://evil.example", False), ("null", False), ("", False),
                                ("http://localhost.evil.example", False), ("http://128.0.0.1", False),
                                ("http://localhost:3000/", False)]:
            with self.subTest(origin=origin):
                self.assertEqual(answers(origin), relayed)

    def test_a_page_from_elsewhere_gets_403_before_any_upgrade(self):
        hello = masked_frame(0x82, bytes([3, 1]))
        for origin in ["https://evil.example", "null"]:
            with self.subTest(origin=origin):
                answer = raw_exchange(origin, hello)
                self.assertTrue(answer.startswith(b"HTTP/1.1 403 Forbidden\r\n"), answer)
                self.assertTrue(answer.endswith(b"\r\n\r\nForbidden"), answer)
        self.assertTrue(self.agent.wait_for_match(
            r"Connection refused: origin null is not trusted \(trusted: the pages of this computer\)"))

    def test_an_upgrade_for_another_host_gets_403(self):
        # DNS rebinding: the page's own name, resolved to 127.0.0.1, and its own origin.
        head = UPGRADE.replace("Host: 127.0.0.1:8095", "Host: rebind.test:8095")
        with socket.create_connection(("127.0.0.1", 8095), timeout=5) as s:
            s.sendall((head + "Origin: http://rebind.test:8095\r\n\r\n").encode())
            answer = b""
            while chunk := s.recv(65536):
                answer += chunk
        self.assertTrue(answer.startswith(b"HTTP/1.1 403 Forbidden\r\n"), answer)


if __name__ == "__main__":
    unittest.main()

"""tolvane-agent.exe under Wine, driven from Linux over 127.0.0.1:8095 as a browser would.

Wine has no PC/SC service behind its winscard.dll: card calls must come back as return codes
and leave the agent serving."""
import asyncio
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "agent"))

from agent_harness import (READY, Agent, ESTABLISH, IS_VALID, SWITCHING, call, connect, connect_call,  # noqa: E402
                           context_call, establish_call, http_request, list_readers_call,
                           masked_frame, raw_exchange, return_code, roundtrip, run)

WINE = os.environ.get("WINE", "wine")
EXE = os.environ.get("AGENT_EXE", "")
STAMP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "stamp-origin")
TRUSTED = "https://rdp.example.com"


class WineAgent(Agent):
    """The agent run by Wine. A Windows console program ends its lines with CR LF."""

    def _collect(self, stream, lines):
        for raw in stream:
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            lines.append(line)
            if line == READY:
                self._ready.set()


def wine_agent(exe, *args):
    agent = WineAgent(exe, *args, exe=WINE)
    try:
        # Wine starts a program more slowly than Linux does.
        return agent.wait_ready(timeout=60)
    except BaseException:
        agent.stop()
        raise


def is_scard_code(code):
    return code == 0 or (code & 0xFFFF0000) == 0x80100000


class AgentUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.agent = wine_agent(EXE)

    @classmethod
    def tearDownClass(cls):
        cls.agent.stop()

    def test_banner_ready_line_and_bridge_page(self):
        out = self.agent.stdout()
        self.assertIn("Velkin Tolvane Agent", " ".join(out))
        self.assertEqual(out.count("Tolvane Agent is ready on port 8095."), 1)
        status, headers, body = http_request("GET", "/bridge.html")
        self.assertEqual(status, "HTTP/1.1 200 OK")
        self.assertIn("text/html", headers.get("content-type", ""))
        self.assertEqual(len(body), int(headers["content-length"]))
        self.assertIn(b"Tolvane Agent (Smart Card)", body)

    def test_handshake_and_card_calls_answer_with_codes(self):
        async def scenario():
            ws = await connect()
            try:
                self.assertEqual(await roundtrip(ws, bytes([3, 1])), bytes([3, 2]))
                reply = await roundtrip(ws, establish_call())
                code = return_code(reply)
                self.assertTrue(is_scard_code(code), hex(code))
                reference = reply[-8:] if code == 0 else bytes(8)
                # Calls on a context Wine never made, a reader list, a connect by a name that is
                # not ASCII: each is answered, none ends the agent.
                for message in (context_call(IS_VALID, reference), list_readers_call(reference),
                                connect_call(reference, "Lecteur \u00e9\u03a9 0"),
                                call(ESTABLISH, b"\x02\x00")):
                    answer = await roundtrip(ws, message)
                    self.assertGreaterEqual(len(answer), 42)
                    self.assertTrue(is_scard_code(return_code(answer)), answer.hex())
                self.assertEqual(await roundtrip(ws, bytes([3, 1])), bytes([3, 2]))
            finally:
                await ws.close()
        run(scenario())
        self.assertIsNone(self.agent.proc.poll())

    def test_calls_answered_in_any_order_all_come_back(self):
        # Asked for replies in any order, the relay thread waits for the next message and for the
        # workers' replies at once (a wake-up beside the socket).
        async def scenario():
            ws = await connect()
            try:
                self.assertEqual(await roundtrip(ws, bytes([3, 1, 1])), bytes([3, 2, 1]))
                ids = list(range(10, 18))
                unknown_context = struct.pack("<III", 8, 0x00020000, 8) + bytes(8)
                for i in ids:
                    await ws.send(call(ESTABLISH, struct.pack("<I", 2), completion_id=i) if i % 2
                                  else call(IS_VALID, unknown_context, completion_id=i))
                seen = []
                for _ in ids:
                    reply = await asyncio.wait_for(ws.recv(), 20)
                    self.assertTrue(is_scard_code(return_code(reply)), reply.hex())
                    seen.append(struct.unpack_from("<I", reply, 10)[0])
                self.assertEqual(sorted(seen), ids)
            finally:
                await ws.close()
        run(scenario(), timeout=60)
        self.assertIsNone(self.agent.proc.poll())


class StampedAgentUnderWine(unittest.TestCase):
    """tools/stamp-origin works on the .exe as it is: the trailer is read from the file's end."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="tolvane-stamp-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.exe = os.path.join(self.folder, "tolvane-agent.exe")
        subprocess.run([sys.executable, STAMP, EXE, TRUSTED, self.exe], check=True, timeout=30,
                       stdout=subprocess.DEVNULL)

    def test_foreign_page_refused_before_any_upgrade_and_stamped_page_relayed(self):
        with wine_agent(self.exe) as agent:
            self.assertFalse(any(line.startswith("No origin found") for line in agent.stdout()),
                             agent.stdout())
            hello = masked_frame(0x82, bytes([3, 1]))
            answer = raw_exchange("https://evil.example", hello)
            self.assertTrue(answer.startswith(b"HTTP/1.1 403 Forbidden\r\n"), answer)
            self.assertNotIn(b"Upgrade", answer)
            answer = raw_exchange(TRUSTED, hello + masked_frame(0x88))
            self.assertTrue(answer.startswith(SWITCHING), answer)
            self.assertTrue(answer.endswith(b"\r\n\r\n\x82\x02\x03\x02\x88\x00"), answer)


if __name__ == "__main__":
    unittest.main()

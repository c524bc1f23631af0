"""tolvane-agent.exe under Wine, driven from Linux over 127.0.0.1:8095 as a browser would.

Wine has no PC/SC service behind its winscard.dll: card calls must come back as return codes
and leave the agent serving."""
import asyncio
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "agent"))

from agent_harness import (PORT, READY, Agent, ESTABLISH, IS_VALID, SWITCHING, call, connect, connect_call,  # noqa: E402
                           context_call, establish_call, http_request, list_readers_call,
                           masked_frame, raw_exchange, return_code, roundtrip, run)

WINE = os.environ.get("WINE", "wine")
EXE = os.environ.get("AGENT_EXE", "")
# Built by tools/build-installer.sh with the origin TRUSTED (tools/test-windows.sh does that).
INSTALLER = os.environ.get("INSTALLER_EXE", "")
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


def wine_run(*args, timeout=120):
    """A Windows program run to its end. Its output is not kept in a pipe, which a program it
    starts (the installer's agent) would hold open."""
    with tempfile.TemporaryFile() as out:
        done = subprocess.run([WINE, *args], stdin=subprocess.DEVNULL, stdout=out,
                              stderr=subprocess.STDOUT, timeout=timeout)
        out.seek(0)
        return done.returncode, out.read().decode("utf-8", "replace")


def registry_value(key, name):
    """A REG_SZ value as `reg query` shows it, or None when the key or value is not there."""
    status, out = wine_run("reg", "query", key, "/v", name, timeout=60)
    for line in out.splitlines():
        if status == 0 and line.strip().startswith(name + " "):
            return line.split("REG_SZ", 1)[1].strip()
    return None


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"not within {timeout} s: {what}")
        time.sleep(0.2)


def port_open():
    """Whether anything listens on 127.0.0.1:8095."""
    try:
        socket.create_connection(("127.0.0.1", PORT), timeout=2).close()
        return True
    except OSError:
        return False


class InstallerUnderWine(unittest.TestCase):
    """The installer run silently, as a deployer runs it, for this Wine prefix's user: the agent
    it starts is the Run entry's command, the launcher (no console, its output in the log)."""
    RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
    UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\TolvaneAgent"
    NAME = "Tolvane Agent"

    def setUp(self):
        self.assertTrue(os.path.isfile(INSTALLER),
                        f"no installer at {INSTALLER!r}: tools/build-installer.sh builds it")
        _, folders = wine_run("cmd", "/c", "echo %LOCALAPPDATA%&echo %TEMP%", timeout=60)
        self.local, temp = folders.strip().splitlines()[-2:]
        _, unix = wine_run("winepath", "-u", self.local, temp, timeout=60)
        self.unix_local, self.temp = unix.strip().splitlines()[-2:]
        self.folder = os.path.join(self.unix_local, "Programs", self.NAME)
        self.log = os.path.join(self.unix_local, self.NAME, "agent.log")
        self.temp_before = set(os.listdir(self.temp))
        self.addCleanup(self.remove_leftovers)

    def remove_leftovers(self):
        # Mostly after a failure: a Run entry left in the prefix would start the agent in later
        # runs.
        for program in ("tolvane-agent-launcher.exe", "tolvane-agent.exe"):
            wine_run("taskkill", "/F", "/IM", program, timeout=60)
        wine_run("reg", "delete", self.RUN_KEY, "/v", self.NAME, "/f", timeout=60)
        wine_run("reg", "delete", self.UNINSTALL_KEY, "/f", timeout=60)
        shutil.rmtree(self.folder, True)
        shutil.rmtree(os.path.dirname(self.log), True)
        # Each NSIS uninstaller leaves the empty folder it ran from in %TEMP%.
        for name in set(os.listdir(self.temp)) - self.temp_before:
            if name.startswith("~nsu"):
                shutil.rmtree(os.path.join(self.temp, name), True)

    def read_log(self):
        try:
            with open(self.log, "rb") as f:
                return f.read().decode("utf-8", "replace").replace("\r\n", "\n")
        except FileNotFoundError:  # not yet, or just set aside by the launcher
            return ""

    def assert_agent_answers(self, starts):
        # The agent that starts says so in the log; Wine on a busy machine may take its time.
        wait_until(lambda: self.read_log().count(READY + "\n") == starts, 60,
                   f"ready line {starts} in the log")
        async def scenario():
            ws = await connect(TRUSTED, open_timeout=20)
            try:
                self.assertEqual(await roundtrip(ws, bytes([3, 1])), bytes([3, 2]))
            finally:
                await ws.close()
        run(scenario())
        # The origin stamped in at build time is the one trusted.
        answer = raw_exchange("https://evil.example", masked_frame(0x82, bytes([3, 1])))
        self.assertTrue(answer.startswith(b"HTTP/1.1 403 Forbidden\r\n"), answer)

    def test_silent_install_starts_the_agent_as_at_login_and_silent_uninstall_leaves_nothing(self):
        self.assertFalse(port_open(), "port 8095 is taken before the install")
        # A log grown past 1 MiB, from an earlier install: set aside once at the start.
        os.makedirs(os.path.dirname(self.log), exist_ok=True)
        old_log = b"an earlier run\r\n" * 70000
        with open(self.log, "wb") as f:
            f.write(old_log)
        self.assertEqual(wine_run(INSTALLER, "/S")[0], 0)
        self.assertEqual(sorted(os.listdir(self.folder)),
                         ["tolvane-agent-launcher.exe", "tolvane-agent.exe", "uninstall.exe"])
        launcher = self.local + rf"\Programs\{self.NAME}\tolvane-agent-launcher.exe"
        self.assertEqual(registry_value(self.RUN_KEY, self.NAME), f'"{launcher}"')
        self.assertEqual(registry_value(self.UNINSTALL_KEY, "QuietUninstallString"),
                         f'"{self.local}\\Programs\\{self.NAME}\\uninstall.exe" /S')

        # The installer starts the Run entry's command: its output, with no console to show it,
        # is in the log, and the agent answers.
        self.assert_agent_answers(starts=1)
        self.assertIn("Velkin Tolvane Agent", self.read_log())
        self.assertNotIn("an earlier run", self.read_log())
        with open(os.path.join(os.path.dirname(self.log), "agent.old.log"), "rb") as f:
            self.assertEqual(f.read(), old_log)

        # The launcher passes its arguments on and ends with the agent's status: 0 for the help
        # text, 1 from a second agent that finds the port taken.
        launcher = os.path.join(self.folder, "tolvane-agent-launcher.exe")
        self.assertEqual(wine_run(launcher, "--help")[0], 0)
        self.assertIn('tolvane-agent.exe" --help\n', self.read_log())
        self.assertIn("--origin", self.read_log())
        self.assertEqual(wine_run(launcher)[0], 1)
        self.assertIn("tolvane-agent.exe ended with status 1\n", self.read_log())

        # Installed again over the running agent: that one is stopped, the new one started.
        self.assertEqual(wine_run(INSTALLER, "/S")[0], 0)
        self.assertIn("Stopped, as the installer or uninstaller asked", self.read_log())
        self.assert_agent_answers(starts=2)

        # The uninstaller copies itself away and returns at once; it is done once the folder goes.
        status, _ = wine_run(os.path.join(self.folder, "uninstall.exe"), "/S")
        self.assertEqual(status, 0)
        wait_until(lambda: not os.path.exists(self.folder), 60, "the install folder removed")
        wait_until(lambda: registry_value(self.RUN_KEY, self.NAME) is None, 30, "Run entry gone")
        self.assertIsNone(registry_value(self.UNINSTALL_KEY, "UninstallString"))
        self.assertFalse(os.path.exists(os.path.dirname(self.log)))
        self.assertFalse(os.path.exists(os.path.join(self.unix_local, "Programs")))
        self.assertFalse(port_open())


if __name__ == "__main__":
    unittest.main()

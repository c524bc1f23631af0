"""Plain HTTP requests to the agent: the bridge, fixed replies, and the origin the bridge page
hands to its script."""
import os
from pathlib import Path
import socket
import tempfile
import unittest

import asyncio
import time

import websockets

from agent_harness import (AGENT, RELEASE, UPGRADE, Agent, connect, context_call, establish_call,
                           http_request, return_code, roundtrip, run)

STAMP = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "stamp-origin")
DIAGNOSTICS = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "diagnostics.sh")
ORIGIN_LINE = b'<script>window.__agent_origion = "'


def served_origin():
    """The origin that the bridge page hands to the bridge script (as written in the page), or
    None; the script itself never carries it."""
    _, _, page = http_request("GET", "/bridge.html")
    _, _, script = http_request("GET", "/bridge.js")
    assert script.startswith(b"(function () {") and b"__agent_origion =" not in script, script[:80]
    if ORIGIN_LINE not in page:
        return None
    start = page.index(ORIGIN_LINE) + len(ORIGIN_LINE)
    end = page.index(b'";</script>\n  <script src="bridge.js"></script>', start)
    return page[start:end]


def stamped_copy(directory, origin):
    out = os.path.join(directory, "agent-stamped")
    with open(AGENT, "rb") as f:
        data = f.read()
    with open(out, "wb") as f:
        f.write(data + origin + bytes([len(origin)]) + b"~~OG")
    os.chmod(out, 0o755)
    return out


class Routes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.agent = Agent().wait_ready()

    @classmethod
    def tearDownClass(cls):
        cls.agent.stop()

    def test_routes(self):
        cases = [
            ("GET", "/bridge.html", "HTTP/1.1 200 OK", "text/html; charset=UTF-8", b"Tolvane Agent (Smart Card)"),
            ("GET", "/bridge.html?x=1", "HTTP/1.1 200 OK", "text/html; charset=UTF-8", b"Please do not close. This is required by the Tolvane Agent."),
            ("GET", "/bridge.js", "HTTP/1.1 200 OK", "text/javascript; charset=UTF-8", b"(function () {"),
            ("GET", "/other", "HTTP/1.1 200 OK", "text/html; charset=UTF-8", b"Unsupported http request."),
            ("GET", "/Bridge.html", "HTTP/1.1 200 OK", "text/html; charset=UTF-8", b"Unsupported http request."),
            ("GET", "/x/bridge.html", "HTTP/1.1 200 OK", "text/html; charset=UTF-8", b"Unsupported http request."),
            ("POST", "/anything", "HTTP/1.1 200 OK", "application/json; charset=UTF-8", b"{}"),
            ("PUT", "/bridge.html", "HTTP/1.1 400 Bad Request", "text/plain; charset=UTF-8", b"Bad Request"),
            ("DELETE", "/bridge.html", "HTTP/1.1 200 OK", "text/html; charset=UTF-8", b"<html><body>Someting Wrong</body></html>"),
        ]
        for method, path, status, ctype, body_part in cases:
            with self.subTest(method=method, path=path):
                line, headers, body = http_request(method, path)
                self.assertEqual(line, status)
                self.assertEqual(headers["content-type"], ctype)
                self.assertEqual(headers["content-length"], str(len(body)))
                self.assertEqual(headers["connection"], "close")
                self.assertIn(body_part, body)

    def test_bridge_cannot_be_framed_nor_read_by_other_pages(self):
        _, page, _ = http_request("GET", "/bridge.html")
        self.assertEqual(page["content-security-policy"], "frame-ancestors 'none'")
        self.assertEqual(page["x-frame-options"], "DENY")
        self.assertNotIn("access-control-allow-origin", page)
        _, script, _ = http_request("GET", "/bridge.js")
        self.assertNotIn("access-control-allow-origin", script)

    def test_script_only_for_the_bridge_page(self):
        # Sec-Fetch-Site is the browser's word on who asks: only the agent's own page (or a
        # client that is no browser) gets the script; a page on another port of 127.0.0.1 is
        # "same-site", and no more trusted than any other.
        for site, status in [(None, "200 OK"), ("same-origin", "200 OK"), ("same-site", "403 Forbidden"),
                             ("cross-site", "403 Forbidden"), ("none", "403 Forbidden")]:
            with self.subTest(site=site):
                extra = f"Sec-Fetch-Site: {site}\r\n" if site else ""
                line, _, body = http_request("GET", "/bridge.js", headers=extra)
                self.assertEqual(line, "HTTP/1.1 " + status)
                self.assertEqual(body.startswith(b"(function () {"), status == "200 OK")

    def test_without_origin_the_page_hands_none(self):
        self.assertIsNone(served_origin())

    def test_foreign_host_is_refused_before_anything_is_served(self):
        # A page whose name was made to resolve to 127.0.0.1 (DNS rebinding) sends its own name.
        for host, status in [("127.0.0.1:8095", "200 OK"), ("localhost:8095", "200 OK"),
                             ("[::1]:8095", "200 OK"), ("LOCALHOST:8095", "200 OK"),
                             ("rebind.test:8095", "403 Forbidden"), ("127.0.0.1", "403 Forbidden"),
                             ("127.0.0.1:8096", "403 Forbidden"), ("", "403 Forbidden"),
                             (None, "403 Forbidden")]:
            for path in ["/bridge.html", "/bridge.js"]:
                with self.subTest(host=host, path=path):
                    line, headers, body = http_request("GET", path, host=host)
                    self.assertEqual(line, "HTTP/1.1 " + status)
                    if status != "200 OK":
                        self.assertEqual(body, b"Forbidden")
        # Two Host headers could be read either way.
        line, _, _ = http_request("GET", "/bridge.html", headers="Host: rebind.test:8095\r\n")
        self.assertEqual(line, "HTTP/1.1 403 Forbidden")

    def test_large_heads_cost_little_cpu(self):
        # Heads near the 64 KiB bound, as a page's long URLs make them, are read in bulk.
        def cpu_seconds():
            fields = Path(f"/proc/{self.agent.proc.pid}/stat").read_text().rpartition(")")[2].split()
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime, stime
        heads = 16
        padding = "X-Pad: " + "v" * (63 * 1024) + "\r\n"
        before = cpu_seconds()
        for _ in range(heads):
            line, _, _ = http_request("GET", "/bridge.html", headers=padding)
            self.assertEqual(line, "HTTP/1.1 200 OK")
        per_head = (cpu_seconds() - before) / heads
        print(f"agent CPU per 64 KiB head: {per_head * 1000:.1f} ms")
        self.assertLess(per_head, 0.04)  # a byte per read: 150 ms here, 16-18 ms unsanitized


class OriginConfiguration(unittest.TestCase):
    def test_trailer_configures_the_origin(self):
        with tempfile.TemporaryDirectory() as d:
            origin = b"https://a.example"  # 17 bytes
            exe = stamped_copy(d, origin)
            with Agent(exe=exe) as agent:
                agent.wait_ready()
                self.assertEqual(served_origin(), origin)
                self.assertFalse(any(l.startswith("No origin found") for l in agent.stdout()))

    def test_empty_trailer_is_no_origin(self):
        with tempfile.TemporaryDirectory() as d:
            exe = stamped_copy(d, b"")
            with Agent(exe=exe) as agent:
                agent.wait_ready()
                self.assertIsNone(served_origin())
                self.assertFalse(any(l.startswith("No origin found") for l in agent.stdout()))

    def test_option_wins_over_trailer(self):
        with tempfile.TemporaryDirectory() as d:
            exe = stamped_copy(d, b"https://a.example")
            with Agent("--origin", "https://B.example", exe=exe) as agent:
                agent.wait_ready()
                self.assertEqual(served_origin(), b"https://B.example")

    def test_no_trailer_is_reported(self):
        with Agent() as agent:
            agent.wait_ready()
            out = agent.stdout()
            self.assertIn("No origin found in " + AGENT, out)
            # The next lines tell what running without an origin means and how to set one.
            advice = out[out.index("No origin found in " + AGENT) + 1]
            self.assertIn("Only pages of this computer (localhost, 127.0.0.0/8, [::1])", advice)
            self.assertIn("--origin", advice)
            files = out[out.index("No origin found in " + AGENT) + 2]
            self.assertIn("The origin may also be written in", files)
            self.assertIn("/etc/tolvane-agent/origin", files)

    def test_origin_is_escaped_in_the_page(self):
        with Agent("--origin", 'https://a.example/"+alert(1)+"\\</script>') as agent:
            agent.wait_ready()
            self.assertEqual(served_origin(), b'https://a.example/\\"+alert(1)+\\"\\\\\\x3c/script\\x3e')

    def test_origin_files_and_their_precedence(self):
        # --origin, then the user's file ($XDG_CONFIG_HOME/tolvane-agent/origin), then the
        # trailer; the machine's file (/etc/tolvane-agent/origin) is tested by the package test.
        with tempfile.TemporaryDirectory() as d:
            os.makedirs(os.path.join(d, "tolvane-agent"))
            origin_file = os.path.join(d, "tolvane-agent", "origin")
            exe = stamped_copy(d, b"https://stamped.example")
            cases = [
                ("# the company's\nhttps://file.example/client/\n", [], b"https://file.example/client/"),
                ("https://file.example\n", ["--origin", "https://option.example"], b"https://option.example"),
                ("# nothing set here\n", [], b"https://stamped.example"),
            ]
            for text, args, trusted in cases:
                with self.subTest(text=text, args=args):
                    with open(origin_file, "w") as f:
                        f.write(text)
                    with Agent(*args, exe=exe, config_home=d) as agent:
                        agent.wait_ready()
                        self.assertEqual(served_origin(), trusted)
            # A file that names no origin stops the agent rather than passing over it.
            with open(origin_file, "w") as f:
                f.write("rdp.example.com\n")
            agent = Agent(exe=exe, config_home=d)
            self.assertEqual(agent.wait_exit(), 2)
            self.assertEqual(len(agent.err_lines), 1, agent.err_lines)
            self.assertIn(origin_file + ": line 1:", agent.err_lines[0])

    def test_stamp_tool_replaces_a_trailer_and_refuses_long_origins(self):
        import subprocess
        with tempfile.TemporaryDirectory() as d:
            once = os.path.join(d, "once")
            twice = os.path.join(d, "twice")
            subprocess.run([STAMP, AGENT, "https://first.example", once], check=True, capture_output=True)
            subprocess.run([STAMP, once, "https://rdp.example.com", twice], check=True, capture_output=True)
            with open(AGENT, "rb") as f:
                original = f.read()
            with open(twice, "rb") as f:
                self.assertEqual(f.read(), original + b"https://rdp.example.com" + bytes([23]) + b"~~OG")
            too_long = subprocess.run([STAMP, AGENT, "https://" + "a" * 250, os.path.join(d, "x")],
                                      capture_output=True)
            self.assertEqual(too_long.returncode, 2)
            self.assertFalse(os.path.exists(os.path.join(d, "x")))
            with Agent(exe=twice) as agent:
                agent.wait_ready()
                self.assertEqual(served_origin(), b"https://rdp.example.com")


class StartUp(unittest.TestCase):
    def test_banner_and_ready_line(self):
        with Agent() as agent:
            agent.wait_ready()
            out = agent.stdout()
            self.assertEqual(out[0], "*" * 58)
            self.assertEqual(out[1], "*" + " " * 56 + "*")
            self.assertEqual(len(out[2]), 58)
            self.assertTrue(out[2].startswith("* ") and out[2].endswith(" *"))
            self.assertIn("Velkin Tolvane Agent", out[2])
            self.assertEqual(out[3], out[1])
            self.assertEqual(out[4], out[0])
            # Ready means bound: the port answers at once.
            socket.create_connection(("127.0.0.1", 8095), timeout=2).close()

    def test_port_taken(self):
        # Either form of the port held by another program stops the start: on [::1] it would
        # otherwise answer the pages that reach the agent through "localhost". So does the
        # diagnostics page's port: the agent would trust whatever page another program serves.
        cases = [(socket.AF_INET, "127.0.0.1", 8095, {}, "Failed to build web server on port 8095, please make it available."),
                 (socket.AF_INET6, "::1", 8095, {}, "Failed to build web server on port 8095: another program holds "
                                                    "[::1]:8095, please make it available."),
                 (socket.AF_INET, "127.0.0.1", 8096, {"exe": DIAGNOSTICS},
                  "The diagnostics page could not be served on port 8096: another program holds it, or it "
                  "did not start. The agent is not started; free port 8096 and try again.")]
        for family, address, port, how, line in cases:
            with self.subTest(address=address, port=port):
                blocker = socket.socket(family)
                blocker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                try:
                    blocker.bind((address, port))
                except OSError as error:  # no IPv6 loopback here
                    blocker.close()
                    self.skipTest(f"cannot bind {address}: {error}")
                blocker.listen()
                try:
                    with Agent(*([AGENT] if how else []), **how) as agent:
                        code = agent.wait_exit()
                        self.assertNotEqual(code, 0)
                        self.assertIn(line, agent.err_lines)
                        self.assertNotIn("Tolvane Agent is ready on port 8095.", agent.out_lines)
                finally:
                    blocker.close()

    def test_diagnostics_end_with_their_page_server(self):
        with Agent(AGENT, exe=DIAGNOSTICS) as script:
            script.wait_ready()
            with open(f"/proc/{script.proc.pid}/task/{script.proc.pid}/children") as f:
                children = [int(pid) for pid in f.read().split()]
            server = next(pid for pid in children
                          if Path(f"/proc/{pid}/comm").read_text().startswith("python"))
            os.kill(server, 15)
            self.assertNotEqual(script.wait_exit(), 0)
            self.assertIn("The diagnostics page's server on port 8096 stopped; the agent is "
                          "stopped too.", script.err_lines)
            with self.assertRaises(OSError):  # the agent is gone with it
                socket.create_connection(("127.0.0.1", 8095), timeout=2).close()

    def test_help(self):
        agent = Agent("--help")
        self.assertEqual(agent.wait_exit(), 0)
        text = "\n".join(agent.out_lines)
        self.assertIn("--origin", text)
        self.assertIn("8095", text)
        self.assertIn("trailer", text)

    def test_malformed_command_lines_stop_with_one_line_and_status_2(self):
        with tempfile.TemporaryDirectory() as d:
            bad_stamp = stamped_copy(d, b"notaurl")
            cases = [
                (["--origin", "https://" + "a" * 249], AGENT, "at most 256"),  # 257 bytes
                (["--orgin", "https://rdp.example.com"], AGENT, 'unknown option "--orgin"'),
                (["--origin"], AGENT, "--origin needs a value"),
                (["--origin", "notaurl"], AGENT, '"notaurl" is not an origin'),
                (["rdp.example.com"], AGENT, 'unexpected argument "rdp.example.com"'),
                ([], bad_stamp, "the stamped origin"),
            ]
            for args, exe, reason in cases:
                with self.subTest(args=args, exe=exe):
                    agent = Agent(*args, exe=exe)
                    self.assertEqual(agent.wait_exit(), 2)
                    self.assertEqual(len(agent.err_lines), 1, agent.err_lines)
                    self.assertIn(reason, agent.err_lines[0])
                    self.assertNotIn("Tolvane Agent is ready on port 8095.", agent.out_lines)

    def test_version(self):
        agent = Agent("--version")
        self.assertEqual(agent.wait_exit(), 0)
        self.assertRegex("\n".join(agent.out_lines), r"^tolvane-agent \d+\.\d+\.\d+$")

    def test_unreadable_start_path_is_no_origin(self):
        # Started through a name that is no file: treated as an executable without a trailer.
        with Agent(argv0="no-such-file") as agent:
            agent.wait_ready()
            self.assertIn("No origin found in no-such-file", agent.stdout())


if __name__ == "__main__":
    unittest.main()


class ConnectionBound(unittest.TestCase):
    def test_a_flood_at_the_bound_leaves_a_good_client_working(self):
        # Under a descriptor limit that the flood alone would exhaust: without the bound the
        # agent has no descriptor left for the good client's PC/SC contexts.
        with Agent(env={"TOLVANE_MAX_CONNECTIONS": "64"}, files=160) as agent:
            agent.wait_ready()

            async def scenario():
                good = await connect()
                flood = []
                try:
                    self.assertEqual(return_code(await roundtrip(good, establish_call())), 0)
                    for _ in range(300):
                        s = socket.create_connection(("127.0.0.1", 8095), timeout=5)
                        s.sendall((UPGRADE + "\r\n").encode())
                        flood.append(s)
                    for _ in range(5):
                        reply = await roundtrip(good, establish_call())
                        self.assertEqual(return_code(reply), 0)
                        self.assertEqual(return_code(await roundtrip(good, context_call(RELEASE, reply[-8:]))), 0)
                    # Those beyond the bound were closed at once, without an answer (a reset, as
                    # their heads were not read).
                    closed = 0
                    for s in flood:
                        s.settimeout(0.05)
                        try:
                            closed += s.recv(1) == b""
                        except ConnectionResetError:
                            closed += 1
                        except socket.timeout:
                            pass
                    self.assertGreaterEqual(closed, 300 - 64)
                finally:
                    for s in flood:
                        s.close()
                    await good.close()
                # Their places come free: a new client is served again.
                deadline = time.monotonic() + 10
                while True:
                    try:
                        fresh = await connect()
                        break
                    except (OSError, websockets.InvalidHandshake, asyncio.TimeoutError):
                        if time.monotonic() > deadline:
                            raise
                        await asyncio.sleep(0.1)
                self.assertEqual(await roundtrip(fresh, bytes([3, 1])), bytes([3, 2]))
                await fresh.close()
            run(scenario(), timeout=60)
            out = agent.stdout()
            self.assertEqual(sum(l.startswith("Connection bound reached: 64") for l in out), 1, out[-5:])
            self.assertLessEqual(sum(l.startswith("couldn't get client") for l in out), 1, out[-5:])

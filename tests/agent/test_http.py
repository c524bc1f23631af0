"""Plain HTTP requests to the agent: the bridge, fixed replies, and the bridge script's origin."""
import os
import socket
import tempfile
import unittest

import asyncio
import time

import websockets

from agent_harness import (AGENT, RELEASE, UPGRADE, Agent, connect, context_call, establish_call,
                           http_request, return_code, roundtrip, run)

STAMP = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "stamp-origin")
ORIGIN_LINE = b'window.__agent_origion = "'


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

    def test_bridge_cannot_be_framed_and_its_script_not_read_by_other_pages(self):
        _, page, _ = http_request("GET", "/bridge.html")
        self.assertEqual(page["content-security-policy"], "frame-ancestors 'none'")
        self.assertEqual(page["x-frame-options"], "DENY")
        _, script, _ = http_request("GET", "/bridge.js")
        self.assertNotIn("access-control-allow-origin", script)

    def test_script_without_origin_has_no_origin_line(self):
        _, _, body = http_request("GET", "/bridge.js")
        self.assertTrue(body.startswith(b"(function () {"))


class OriginConfiguration(unittest.TestCase):
    def test_trailer_configures_the_origin(self):
        with tempfile.TemporaryDirectory() as d:
            origin = b"https://a.example"  # 17 bytes
            exe = stamped_copy(d, origin)
            with Agent(exe=exe) as agent:
                agent.wait_ready()
                _, _, body = http_request("GET", "/bridge.js")
                self.assertTrue(body.startswith(ORIGIN_LINE + origin + b'";\r\n(function () {'), body[:80])
                self.assertFalse(any(l.startswith("No origin found") for l in agent.stdout()))

    def test_empty_trailer_is_no_origin(self):
        with tempfile.TemporaryDirectory() as d:
            exe = stamped_copy(d, b"")
            with Agent(exe=exe) as agent:
                agent.wait_ready()
                _, _, body = http_request("GET", "/bridge.js")
                self.assertTrue(body.startswith(b"(function () {"))
                self.assertFalse(any(l.startswith("No origin found") for l in agent.stdout()))

    def test_option_wins_over_trailer(self):
        with tempfile.TemporaryDirectory() as d:
            exe = stamped_copy(d, b"https://a.example")
            with Agent("--origin", "https://B.example", exe=exe) as agent:
                agent.wait_ready()
                _, _, body = http_request("GET", "/bridge.js")
                self.assertTrue(body.startswith(ORIGIN_LINE + b'https://B.example";\r\n'), body[:80])

    def test_no_trailer_is_reported(self):
        with Agent() as agent:
            agent.wait_ready()
            out = agent.stdout()
            self.assertIn("No origin found in " + AGENT, out)
            # The next line tells what running without an origin means and how to set one.
            advice = out[out.index("No origin found in " + AGENT) + 1]
            self.assertIn("Every web page may use the smart cards", advice)
            self.assertIn("--origin", advice)

    def test_origin_is_escaped_in_the_script(self):
        with Agent("--origin", 'https://a.example/"+alert(1)+"\\') as agent:
            agent.wait_ready()
            _, _, body = http_request("GET", "/bridge.js")
            self.assertTrue(body.startswith(ORIGIN_LINE + b'https://a.example/\\"+alert(1)+\\"\\\\";\r\n'),
                            body[:80])

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
                        _, _, body = http_request("GET", "/bridge.js")
                        self.assertTrue(body.startswith(ORIGIN_LINE + trusted + b'";'), body[:80])
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
                _, _, body = http_request("GET", "/bridge.js")
                self.assertTrue(body.startswith(ORIGIN_LINE + b'https://rdp.example.com";'))


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
        # otherwise answer the pages that reach the agent through "localhost".
        cases = [(socket.AF_INET, "127.0.0.1", "Failed to build web server on port 8095, please make it available."),
                 (socket.AF_INET6, "::1", "Failed to build web server on port 8095: another program holds "
                                          "[::1]:8095, please make it available.")]
        for family, address, line in cases:
            with self.subTest(address=address):
                blocker = socket.socket(family)
                blocker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                try:
                    blocker.bind((address, 8095))
                except OSError as error:  # no IPv6 loopback here
                    blocker.close()
                    self.skipTest(f"cannot bind {address}: {error}")
                blocker.listen()
                try:
                    with Agent() as agent:
                        code = agent.wait_exit()
                        self.assertNotEqual(code, 0)
                        self.assertIn(line, agent.err_lines)
                        self.assertNotIn("Tolvane Agent is ready on port 8095.", agent.out_lines)
                finally:
                    blocker.close()

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

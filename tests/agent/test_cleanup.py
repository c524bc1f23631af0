"""Nothing leaks when a web client goes away: its contexts are released, its waits end."""
import asyncio
import os
import struct
import time
import unittest

from agent_harness import (Agent, BEGIN_TRANSACTION, FIRST_READER, IS_VALID, RELEASE,
                           SCARD_E_NO_MEMORY, SCARD_STATE_EMPTY, RawWebSocket, VirtualCard, call,
                           card_of, completion_id, concurrent_connect, connect, connect_call,
                           context_call, establish_call, list_readers_call, masked_frame,
                           reader_name,
                           other_program_takes_card, return_code, roundtrip, run,
                           status_change_call, thread_count, transaction_call, with_completion_id)
from agent_harness import ioctls  # the agent's one list of I/O control codes


# Deadlines are those a user sees; a ThreadSanitizer build, several times slower, stretches them.
TIME_SCALE = float(os.environ.get("TOLVANE_TIME_SCALE", "1"))
# How long the agent keeps a closed connection's contexts for a client that comes back (a
# reloaded bridge window); it keeps at most HELD of them (and half the agent's bound on contexts,
# which these tests raise to BOUND), the oldest go first.
GRACE = 30
HELD = 64
BOUND = 128
# PC/SC contexts one connection may hold at once.
CONTEXTS_PER_CONNECTION = 32


def drop(ws):
    """The peer vanishes: no close frame, no release."""
    ws.transport.abort()


class Cleanup(unittest.TestCase):
    def setUp(self):
        # Fifty waits of vanished pages are held here at once: a bound for the agent as a whole
        # that holds them all (the bound itself is tested in test_concurrent).
        self.agent = Agent(env={"TOLVANE_MAX_CONTEXTS": str(BOUND)}).wait_ready()

    def tearDown(self):
        self.agent.stop()

    def released_lines(self):
        return [l for l in self.agent.stdout() if l.startswith("Connection closed: released")]

    def wait_until(self, predicate, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if predicate():
                return True
            time.sleep(0.05)
        return predicate()

    def test_five_hundred_abandoned_contexts_are_released(self):
        # pcscd serves about 200 contexts in all: without the release this fails on the way.
        async def abandon(n):
            for i in range(n):
                ws = await connect()
                reply = await roundtrip(ws, establish_call())
                self.assertEqual(return_code(reply), 0, f"establish {i}")
                drop(ws)
                await asyncio.sleep(0.002)
        run(abandon(500), timeout=240)
        # Beyond the bound the oldest went while the others came; the last ones wait out the grace.
        self.assertGreaterEqual(len(self.released_lines()), 500 - HELD - 5)
        self.assertTrue(self.wait_until(lambda: len(self.released_lines()) == 500, GRACE + 10),
                        len(self.released_lines()))

        with VirtualCard() as card:
            card.insert()

            async def use_card():
                ws = await connect()
                try:
                    reply = await roundtrip(ws, establish_call())
                    self.assertEqual(return_code(reply), 0)
                    reference = reply[-8:]
                    readers = await roundtrip(ws, list_readers_call(reference))
                    self.assertEqual(return_code(readers), 0)
                    self.assertIn(b"Virtual PCD 00 00\0", readers)
                    deadline = time.monotonic() + 15
                    while True:  # the card appears once vicc has reached vpcd
                        connected = await roundtrip(ws, connect_call(reference, "Virtual PCD 00 00"))
                        if return_code(connected) == 0 or time.monotonic() > deadline:
                            break
                        await asyncio.sleep(0.2)
                    self.assertEqual(return_code(connected), 0)
                    self.assertEqual(len(connected), 78)
                    self.assertEqual(return_code(await roundtrip(ws, context_call(RELEASE, reference))), 0)
                finally:
                    await ws.close()
            run(use_card())

    def test_blocked_waits_of_vanished_peers_end(self):
        idle_threads = thread_count(self.agent.proc.pid)

        async def block_and_drop(n):
            sockets = []
            for _ in range(n):
                ws = await connect()
                reply = await roundtrip(ws, establish_call())
                self.assertEqual(return_code(reply), 0)
                # The second reader is empty: a wait for a change there blocks until a card comes.
                await ws.send(status_change_call(reply[-8:], [("Virtual PCD 00 01", SCARD_STATE_EMPTY)]))
                sockets.append(ws)
            await asyncio.sleep(0.5)
            for ws in sockets:
                with self.assertRaises(asyncio.TimeoutError):  # still waiting
                    await asyncio.wait_for(asyncio.shield(ws.recv()), 0.01)
            self.assertGreaterEqual(thread_count(self.agent.proc.pid), idle_threads + n)
            for ws in sockets:
                drop(ws)
        run(block_and_drop(50), timeout=60)
        # The waits end with their connections; one thread keeps the time of the held contexts.
        self.assertTrue(self.wait_until(lambda: thread_count(self.agent.proc.pid) <= idle_threads + 1,
                                        3 * TIME_SCALE),
                        f"{thread_count(self.agent.proc.pid)} threads, {idle_threads} when idle")
        self.assertEqual(self.released_lines(), [])
        self.assertTrue(self.wait_until(lambda: len(self.released_lines()) == 50, GRACE + 3 * TIME_SCALE))
        self.assertTrue(self.wait_until(lambda: thread_count(self.agent.proc.pid) <= idle_threads, 2))

        async def fresh_context():
            ws = await connect()
            reply = await roundtrip(ws, establish_call())
            self.assertEqual(return_code(reply), 0)
            await ws.close()
        run(fresh_context())

    def test_context_used_by_a_second_connection_survives_the_first(self):
        async def scenario():
            maker = await connect()
            user = await connect()
            try:
                reply = await roundtrip(maker, establish_call())
                reference = reply[-8:]
                self.assertEqual(return_code(await roundtrip(user, context_call(IS_VALID, reference))), 0)
                drop(maker)
                await asyncio.sleep(0.5)
                self.assertEqual(return_code(await roundtrip(user, context_call(IS_VALID, reference))), 0)
                self.assertEqual(return_code(await roundtrip(user, context_call(RELEASE, reference))), 0)
            finally:
                await user.close()
        run(scenario())
        time.sleep(0.3)
        self.assertEqual(self.released_lines(), [])

    def test_one_connection_holds_no_more_than_its_share_of_contexts(self):
        async def scenario():
            ws = await connect()
            try:
                held = []
                for i in range(CONTEXTS_PER_CONNECTION):
                    reply = await roundtrip(ws, establish_call())
                    self.assertEqual(return_code(reply), 0, f"establish {i}")
                    held.append(reply[-8:])
                self.assertEqual(return_code(await roundtrip(ws, establish_call())), SCARD_E_NO_MEMORY)
                # A released context makes room for one more.
                self.assertEqual(return_code(await roundtrip(ws, context_call(RELEASE, held.pop()))), 0)
                self.assertEqual(return_code(await roundtrip(ws, establish_call())), 0)
            finally:
                await ws.close()
        run(scenario())


READ_CACHE, WRITE_CACHE = ioctls.readCacheA, ioctls.writeCacheA


def cache_call(code, context, data=None):
    """ReadCacheA (the whole item) or WriteCacheA (`data`) of one item of one card."""
    head = struct.pack("<IIIII", 0x00020000, len(context), 0x00020004, 0x00020008, 1)
    head += struct.pack("<II", 0, 0xFFFFFFFF) if data is None else struct.pack("<II", len(data), 0x0002000C)
    body = head + reader_name("item") + struct.pack("<I", len(context)) + context + b"\x11" * 16
    if data is not None:
        body += struct.pack("<I", len(data)) + data + b"\0" * ((4 - len(data) % 4) % 4)
    return call(code, body)


class PageHoldingTheCard(unittest.TestCase):
    """A page that holds a transaction and then neither reads nor finishes a frame: the agent
    ends the connection as a quiet one, and the card is free for other programs."""
    IDLE = 2  # TOLVANE_IDLE_SECONDS: pinged after 2 s, closed 2 s later

    @classmethod
    def setUpClass(cls):
        cls.card = VirtualCard()
        time.sleep(1)
        cls.card.insert()

    @classmethod
    def tearDownClass(cls):
        cls.card.close()

    def setUp(self):
        self.agent = Agent(env={"TOLVANE_IDLE_SECONDS": str(self.IDLE)}).wait_ready()

    def tearDown(self):
        self.agent.stop()

    def hold_transaction(self, page):
        context = page.roundtrip(establish_call())[-8:]
        deadline = time.monotonic() + 15
        while True:  # the card appears once vicc has reached vpcd
            connected = page.roundtrip(connect_call(context, FIRST_READER))
            if return_code(connected) == 0 or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        self.assertEqual(return_code(connected), 0)
        card, _ = card_of(connected)
        self.assertEqual(return_code(page.roundtrip(transaction_call(BEGIN_TRANSACTION, context, card))), 0)
        return context

    def test_the_card_is_free_soon_after_the_page_stops(self):
        # Replies due that the page does not read (pongs to a flood of pings, or 64 KiB cache
        # items, into a small receive window), or a frame header of which 2 bytes came: each
        # counts as silence.
        for how in ("replies not read", "cache items not read", "frame stopped half-way"):
            with self.subTest(how=how):
                page = RawWebSocket(receive_buffer=4096)
                try:
                    context = self.hold_transaction(page)
                    if how != "frame stopped half-way":
                        if how == "replies not read":
                            ping = masked_frame(0x89, b"p" * 125)
                        else:
                            item = cache_call(WRITE_CACHE, context, bytes(65536))
                            self.assertEqual(return_code(page.roundtrip(item)), 0)
                            ping = masked_frame(0x82, cache_call(READ_CACHE, context))
                        page.sock.setblocking(False)
                        stuck_since = None
                        flood = ping * 400
                        sent = 0
                        while stuck_since is None or time.monotonic() - stuck_since < 1:
                            try:
                                sent += page.sock.send(flood[sent % len(ping):])
                                stuck_since = None
                            except BlockingIOError:
                                stuck_since = stuck_since or time.monotonic()
                                time.sleep(0.05)
                    else:
                        page.sock.sendall(bytes([0x82, 0xFE]))  # 16-bit length still to come
                    # Silent for the idle limit (ping, then as long again for its answer), however
                    # a reply's bytes trickle into the socket; then the bystander has 2 s.
                    self.assertTrue(other_program_takes_card(FIRST_READER, 2 * self.IDLE + 2 * TIME_SCALE))
                finally:
                    page.close()


@unittest.skipUnless(os.geteuid() == 0, "runs the agent as a user of its own, which takes root")
@unittest.skipIf("TSAN_OPTIONS" in os.environ, "that user may not write ThreadSanitizer's log")
class ThreadLimit(unittest.TestCase):
    """The agent under a limit on threads, as a user's process limit or a flood of connections
    sets one: a thread it cannot start costs a call or a delay, never the process."""

    USER = "61721"  # a user id of its own: the limit counts every thread of that user

    def test_the_agent_lives_through_threads_it_cannot_start(self):
        probe = Agent(prefix=("setpriv", f"--reuid={self.USER}", f"--regid={self.USER}",
                              "--clear-groups", "--")).wait_ready()
        idle = thread_count(probe.proc.pid)
        probe.stop()
        # Room for the idle agent and a few connections, each of which takes a thread.
        limit = idle + 3
        agent = Agent(prefix=("prlimit", f"--nproc={limit}", "setpriv", f"--reuid={self.USER}",
                              f"--regid={self.USER}", "--clear-groups", "--")).wait_ready()
        try:
            async def scenario():
                ws = await concurrent_connect()
                context = (await roundtrip(ws, establish_call()))[-8:]
                await asyncio.sleep(2.5)  # the establish's worker thread leaves
                # Idle connections, a thread each, until the agent can start no more threads.
                others = []
                while len(others) < 10 and thread_count(agent.proc.pid) < limit:
                    others.append(await connect())
                    await asyncio.sleep(0.1)
                self.assertEqual(thread_count(agent.proc.pid), limit)
                # A side-by-side call needs a worker thread: it is answered, as a lack of memory.
                reply = await roundtrip(ws, with_completion_id(context_call(IS_VALID, context), 77))
                self.assertEqual((completion_id(reply), return_code(reply)), (77, SCARD_E_NO_MEMORY))
                # The connection that made a context goes: its release needs a thread as well.
                await ws.close()
                for other in others:
                    await other.close()
            run(scenario())
            time.sleep(1)
            self.assertIsNone(agent.proc.poll(), agent.err_lines[-5:])

            async def afterwards():
                ws = await concurrent_connect()
                try:
                    self.assertEqual(return_code(await roundtrip(ws, establish_call())), 0)
                finally:
                    await ws.close()
            run(afterwards())
            self.assertIsNone(agent.proc.poll())
        finally:
            agent.stop()


if __name__ == "__main__":
    unittest.main()


class UnreadOutput(unittest.TestCase):
    def test_an_unread_standard_output_stops_neither_calls_nor_releases(self):
        # Standard output is a pipe that nobody reads: it fills with the first 64 KiB. The
        # releases of the abandoned contexts print a line each, too; were the reaper to block on
        # it, the contexts would leak and pcscd (about 200 in all) would refuse new ones.
        with Agent(read_stdout=False) as agent:
            agent.wait_ready()

            async def scenario():
                ws = await connect()
                try:
                    for _ in range(200):
                        await ws.send("x" * 4000)  # one printed line each, 800 KB in all
                    self.assertEqual(await roundtrip(ws, bytes([3, 1])), bytes([3, 2]))
                finally:
                    await ws.close()
                for i in range(300):
                    ws = await connect()
                    reply = await roundtrip(ws, establish_call())
                    self.assertEqual(return_code(reply), 0, f"establish {i}")
                    drop(ws)
                    await asyncio.sleep(0.002)
            run(scenario(), timeout=180)
            self.assertIsNone(agent.proc.poll())

"""A client that takes replies in any order: calls on other contexts go on beside a pending wait."""
import asyncio
import os
import time
import unittest

from agent_harness import (Agent, BEGIN_TRANSACTION, CANCEL, END_TRANSACTION, FIRST_READER, IS_VALID, RELEASE, SCARD_E_CANCELLED,
                           RawWebSocket, masked_frame,
                           SCARD_E_NO_MEMORY,
                           SCARD_STATE_EMPTY, SECOND_READER, VirtualCard, card_of, completion_id,
                           concurrent_connect, connect, connect_call, connect_card, context_call,
                           establish_call, list_readers_call, return_code, roundtrip, run,
                           other_program_takes_card, resident_kib, status_call, status_change_call,
                           thread_count, transaction_call, transmit_call, with_completion_id)

TIME_SCALE = float(os.environ.get("TOLVANE_TIME_SCALE", "1"))
SELECT = bytes.fromhex("00A4040000")
SCARD_E_TIMEOUT = 0x8010000A
# How long the agent keeps a closed connection's contexts for a client that comes back.
GRACE = 30


async def replies(ws, count, timeout):
    """The next `count` replies, by CompletionId, in the order they came."""
    got = []
    end = time.monotonic() + timeout
    while len(got) < count:
        got.append(await asyncio.wait_for(ws.recv(), max(0.01, end - time.monotonic())))
    return [(completion_id(r), r) for r in got]


async def nothing_within(ws, seconds):
    try:
        reply = await asyncio.wait_for(ws.recv(), seconds)
    except asyncio.TimeoutError:
        return True
    raise AssertionError(f"unexpected reply with CompletionId {completion_id(reply)}")


async def establish(ws, cid):
    reply = await roundtrip(ws, with_completion_id(establish_call(), cid))
    assert return_code(reply) == 0, hex(return_code(reply))
    return reply[-8:]


def wait_on_empty_reader(context, cid, timeout=0xFFFFFFFF):
    """A status-change wait (W form, as a Windows session sends it) that blocks until a card
    comes to the empty second reader, or the time-out ends it."""
    return with_completion_id(
        status_change_call(context, [(SECOND_READER, SCARD_STATE_EMPTY)], timeout, wide=True), cid)


async def connect_stable_card(ws, context, deadline=30):
    """Connects to the card in the first reader once pcscd has settled: a card that a test before
    took away can still look present for a moment, and a connect to it then fails later."""
    end = time.monotonic() + deadline
    while True:
        connected = await connect_card(ws, context, wide=True)
        if return_code(connected) == 0:
            await asyncio.sleep(1)
            card, _ = card_of(connected)
            if return_code(await roundtrip(ws, status_call(context, card, wide=True))) == 0:
                return connected
        if time.monotonic() > end:
            return connected
        await asyncio.sleep(0.2)


async def transmit_behind_own_transaction(ws, behind=0):
    """Begins a transaction on a card handle of context A and sends a Transmit on a handle of
    context B, which pcsc-lite holds until that transaction ends, with `behind` more queued behind
    it on B. Nothing is answered; returns A and the handle that holds the transaction."""
    a = await establish(ws, 1)
    b = await establish(ws, 2)
    first = await connect_stable_card(ws, a)
    assert return_code(first) == 0, hex(return_code(first))
    second = await roundtrip(ws, with_completion_id(connect_call(b, FIRST_READER, wide=True), 3))
    assert return_code(second) == 0, hex(return_code(second))
    held, _ = card_of(first)
    card, protocol = card_of(second)
    assert return_code(await roundtrip(ws, transaction_call(BEGIN_TRANSACTION, a, held))) == 0
    for cid in range(10, 11 + behind):
        await ws.send(with_completion_id(transmit_call(b, card, protocol, SELECT), cid))
    await nothing_within(ws, 0.5)
    return a, held


class Concurrent(unittest.TestCase):
    # One card for the class; an agent of its own for each test, so that what one test leaves
    # behind is not counted by another.
    @classmethod
    def setUpClass(cls):
        cls.card = VirtualCard()
        time.sleep(1)  # pcscd notices the card of a test before this one gone
        cls.card.insert()

    @classmethod
    def tearDownClass(cls):
        cls.card.close()

    def setUp(self):
        self.agent = Agent().wait_ready()

    def tearDown(self):
        self.agent.stop()

    def released_lines(self):
        return [l for l in self.agent.stdout() if l.startswith("Connection closed: released")]

    def test_a_pending_wait_holds_back_no_other_context(self):
        async def scenario():
            ws = await concurrent_connect()
            try:
                a = await establish(ws, 1)
                b = await establish(ws, 2)
                connected = await connect_stable_card(ws, b)
                self.assertEqual(return_code(connected), 0)
                card, protocol = card_of(connected)

                await ws.send(wait_on_empty_reader(a, 100))
                await nothing_within(ws, 0.3)
                # Each call on B is answered within a second while A's wait is pending.
                for cid, message in [(101, list_readers_call(b, wide=True)),
                                     (102, connect_call(b, FIRST_READER, wide=True)),
                                     (103, transmit_call(b, card, protocol, SELECT)),
                                     (104, status_call(b, card, wide=True))]:
                    started = time.monotonic()
                    reply = await roundtrip(ws, with_completion_id(message, cid), timeout=1 * TIME_SCALE)
                    self.assertEqual(completion_id(reply), cid)
                    self.assertEqual(return_code(reply), 0, f"call {cid}: {return_code(reply):#x}")
                    self.assertLess(time.monotonic() - started, 1 * TIME_SCALE)
                readers = await roundtrip(ws, with_completion_id(list_readers_call(b, wide=True), 105))
                self.assertIn("Virtual PCD 00 00".encode("utf-16-le"), readers)

                # Ten transmits sent back to back on one context come back in the order sent.
                for cid in range(200, 210):
                    await ws.send(with_completion_id(transmit_call(b, card, protocol, SELECT), cid))
                got = await replies(ws, 10, 10)
                self.assertEqual([cid for cid, _ in got], list(range(200, 210)))
                self.assertTrue(all(return_code(r) == 0 and b"\x6a\x82" in r[38:] for _, r in got))

                # A cancel on A runs beside the wait it ends; each reply carries its own id.
                await ws.send(with_completion_id(context_call(CANCEL, a), 300))
                got = dict(await replies(ws, 2, 5))
                self.assertEqual(return_code(got[300]), 0)
                self.assertEqual(return_code(got[100]), SCARD_E_CANCELLED)

                for cid, context in [(400, a), (401, b)]:
                    self.assertEqual(return_code(await roundtrip(ws, with_completion_id(context_call(RELEASE, context), cid))), 0)
            finally:
                await ws.close()
        run(scenario(), timeout=90)

    def test_the_plain_handshake_keeps_strict_order(self):
        async def pair(ws):
            a = await establish(ws, 1)
            b = await establish(ws, 2)
            started = time.monotonic()
            await ws.send(wait_on_empty_reader(a, 10, timeout=1000))
            await ws.send(with_completion_id(context_call(IS_VALID, b), 11))
            first = await asyncio.wait_for(ws.recv(), 5)
            first_at = time.monotonic() - started
            second = await asyncio.wait_for(ws.recv(), 5)
            second_at = time.monotonic() - started
            for context in (a, b):
                await roundtrip(ws, context_call(RELEASE, context))
            return (completion_id(first), first_at), (completion_id(second), second_at), return_code(first), return_code(second)

        async def scenario():
            plain = await connect()
            try:
                self.assertEqual(await roundtrip(plain, bytes([3, 1])), bytes([3, 2]))
                (first, _), (second, second_at), wait_code, _ = await pair(plain)
                self.assertEqual((first, second), (10, 11))
                self.assertEqual(wait_code, SCARD_E_TIMEOUT)
                self.assertGreaterEqual(second_at, 0.9)  # the call after the wait waited for it
            finally:
                await plain.close()
            side_by_side = await concurrent_connect()
            try:
                (first, first_at), (second, _), _, wait_code = await pair(side_by_side)
                self.assertEqual((first, second), (11, 10))
                self.assertLess(first_at, 0.5 * TIME_SCALE)
                self.assertEqual(wait_code, SCARD_E_TIMEOUT)
            finally:
                await side_by_side.close()
        run(scenario())

    def test_sixty_five_calls_at_once_are_all_answered(self):
        # 64 calls on A (a wait and 63 behind it), then one on B: it is not read until a call
        # completes, since 64 are in flight. A cancel for A ends the wait, sent over another
        # connection or behind them all on the same one: there it runs as soon as it is read.
        for canceller in ("another connection", "the same connection"):
            with self.subTest(canceller=canceller):
                run(self.sixty_five_calls(canceller == "the same connection"))

    async def sixty_five_calls(self, cancel_here):
        ws = await concurrent_connect()
        helper = await connect()
        try:
            a = await establish(ws, 1)
            b = await establish(ws, 2)
            before = thread_count(self.agent.proc.pid)
            batch = [wait_on_empty_reader(a, 1000)]
            batch += [with_completion_id(context_call(IS_VALID, a), 1000 + i) for i in range(1, 64)]
            batch.append(with_completion_id(context_call(IS_VALID, b), 2000))
            for message in batch:
                await ws.send(message)
            await nothing_within(ws, 0.5 * TIME_SCALE)
            # One worker carries the wait; the calls behind it hold no thread.
            self.assertLessEqual(thread_count(self.agent.proc.pid), before + 1)
            cancel = with_completion_id(context_call(CANCEL, a), 3000)
            if cancel_here:
                await ws.send(cancel)
            else:
                self.assertEqual(return_code(await roundtrip(helper, cancel)), 0)
            got = dict(await replies(ws, 65 + cancel_here, 10 * TIME_SCALE))
            self.assertEqual(sorted(got), [1000 + i for i in range(64)] + [2000] + [3000] * cancel_here)
            self.assertEqual(return_code(got[1000]), SCARD_E_CANCELLED)
            self.assertTrue(all(return_code(r) == 0 for cid, r in got.items() if cid != 1000))
            for context in (a, b):
                self.assertEqual(return_code(await roundtrip(ws, context_call(RELEASE, context))), 0)
        finally:
            await ws.close()
            await helper.close()

    def test_a_cancel_ends_a_wait_still_queued_behind_another(self):
        async def scenario():
            ws = await concurrent_connect()
            try:
                a = await establish(ws, 1)
                await ws.send(wait_on_empty_reader(a, 10))
                await ws.send(wait_on_empty_reader(a, 11))  # queued behind the first
                await nothing_within(ws, 0.3)
                await ws.send(with_completion_id(context_call(CANCEL, a), 12))
                got = dict(await replies(ws, 3, 5 * TIME_SCALE))
                self.assertEqual({cid: return_code(r) for cid, r in got.items()},
                                 {10: SCARD_E_CANCELLED, 11: SCARD_E_CANCELLED, 12: 0})
                # A wait sent after the cancel is not ended by it.
                await ws.send(wait_on_empty_reader(a, 13, timeout=300))
                self.assertEqual(return_code(await asyncio.wait_for(ws.recv(), 5)), SCARD_E_TIMEOUT)
            finally:
                await ws.close()
        run(scenario())

    def test_calls_sent_in_one_write_are_all_answered(self):
        # The relay reads what the socket holds at once: messages behind the first must not wait
        # for more bytes to come, in either order.
        ws = RawWebSocket(timeout=5 * TIME_SCALE)
        try:
            self.assertEqual(ws.roundtrip(bytes([3, 1])), bytes([3, 2]))
            context = ws.roundtrip(establish_call())[-8:]
            ws.sock.sendall(b"".join(masked_frame(0x82, with_completion_id(list_readers_call(context), cid))
                                     for cid in (20, 21, 22)))
            self.assertEqual([completion_id(ws.recv()) for _ in range(3)], [20, 21, 22])
        finally:
            ws.close()
        ws = RawWebSocket(timeout=5 * TIME_SCALE)
        try:
            self.assertEqual(ws.roundtrip(bytes([3, 1, 1])), bytes([3, 2, 1]))
            context = ws.roundtrip(with_completion_id(establish_call(), 1))[-8:]
            ws.sock.sendall(masked_frame(0x82, wait_on_empty_reader(context, 10)) +
                            masked_frame(0x82, with_completion_id(context_call(CANCEL, context), 12)))
            got = {}
            for _ in range(2):
                reply = ws.recv()
                got[completion_id(reply)] = return_code(reply)
            self.assertEqual(got, {10: SCARD_E_CANCELLED, 12: 0})
        finally:
            ws.close()

    def test_what_comes_while_a_call_runs_holds_no_reply_back(self):
        # A ping, an unsolicited pong (a keep-alive) or the first bytes of the next call arrive
        # while a 1 s wait runs: the wait's reply still comes when it ends, in either order.
        for side_by_side in (False, True):
            for beside in ("ping", "pong", "half a frame"):
                with self.subTest(side_by_side=side_by_side, beside=beside):
                    ws = RawWebSocket(timeout=3 * TIME_SCALE)
                    try:
                        handshake = bytes([3, 1, 1] if side_by_side else [3, 1])
                        self.assertEqual(ws.roundtrip(handshake), bytes([3, 2]) + handshake[2:])
                        context = ws.roundtrip(with_completion_id(establish_call(), 1))[-8:]
                        ws.send(wait_on_empty_reader(context, 10, timeout=1000))
                        time.sleep(0.2)
                        after = masked_frame(0x82, with_completion_id(context_call(IS_VALID, context), 11))
                        ws.sock.sendall({"ping": masked_frame(0x89, b"keep"), "pong": masked_frame(0x8A, b"keep"),
                                         "half a frame": after[:5]}[beside])
                        reply = ws.recv()
                        self.assertEqual((completion_id(reply), return_code(reply)), (10, SCARD_E_TIMEOUT))
                        ws.sock.sendall(after[5:] if beside == "half a frame" else after)
                        self.assertEqual(completion_id(ws.recv()), 11)
                    finally:
                        ws.close()

    def test_a_page_that_vanishes_inside_a_transaction_frees_the_card(self):
        # The page holds a transaction and has a call on another context that waits for the card
        # (pcsc-lite holds it until the transaction ends), with one more queued behind it. Strict
        # order is wedged by that call alone: the EndTransaction can no longer be read.
        for side_by_side in (True, False):
            with self.subTest(side_by_side=side_by_side):
                async def scenario():
                    ws = await (concurrent_connect() if side_by_side else connect())
                    a = await establish(ws, 1)
                    b = await establish(ws, 2)
                    connected = await connect_stable_card(ws, a)
                    self.assertEqual(return_code(connected), 0)
                    card, _ = card_of(connected)
                    begun = await roundtrip(ws, transaction_call(BEGIN_TRANSACTION, a, card))
                    self.assertEqual(return_code(begun), 0)
                    await ws.send(with_completion_id(connect_call(b, FIRST_READER, wide=True), 20))
                    await ws.send(with_completion_id(list_readers_call(b), 21))
                    await asyncio.sleep(0.5)
                    ws.transport.abort()
                run(scenario(), timeout=60)
                self.assertTrue(other_program_takes_card(FIRST_READER, 10 * TIME_SCALE))

    def test_a_page_that_goes_while_its_calls_are_stuck_frees_the_card(self):
        # The page goes while the connection waits for its calls: switching back to strict order
        # (03 01) and then closing with a close frame; or with the in-flight bound reached and
        # then a plain FIN, as when a tab closes. Or it stays, and ends its transaction behind
        # the 64 calls in flight: that runs as soon as it is read. Another program gets the card
        # within 5 s.
        for how in ("strict order, close frame", "64 in flight, FIN", "64 in flight, EndTransaction"):
            with self.subTest(how=how):
                async def scenario():
                    ws = await concurrent_connect()
                    if how.startswith("strict"):
                        await transmit_behind_own_transaction(ws)
                        await ws.send(bytes([3, 1]))
                        await nothing_within(ws, 0.3)
                        await ws.close()
                        return True
                    a, held = await transmit_behind_own_transaction(ws, behind=63)
                    if how.endswith("FIN"):
                        ws.transport.close()
                        return True
                    await ws.send(with_completion_id(transaction_call(END_TRANSACTION, a, held), 500))
                    try:
                        return await asyncio.to_thread(other_program_takes_card, FIRST_READER,
                                                       5 * TIME_SCALE)
                    finally:
                        ws.transport.abort()
                self.assertTrue(run(scenario(), timeout=60))
                if not how.endswith("EndTransaction"):
                    self.assertTrue(other_program_takes_card(FIRST_READER, 5 * TIME_SCALE))

    def test_calls_queued_behind_a_wait_hold_no_thread_and_bounded_memory(self):
        # Endless waits, then calls of almost 1 MiB each behind them: beyond 4 MiB held on a
        # connection, or the bound over all connections (here 8 MiB), a call is answered
        # SCARD_E_NO_MEMORY at once, and a queued call holds no thread. Reading goes on: a cancel
        # sent behind them all still ends the wait.
        # AddressSanitizer keeps what is freed (the calls refused) resident for a while: a small
        # quarantine lets the count show what the agent holds.
        sanitizer = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=4"}
        for pages, calls, held_mib, cancel_here in ((1, 63, 4, False), (1, 63, 4, True), (3, 6, 8, False)):
            with self.subTest(pages=pages, cancel_here=cancel_here):
                self.agent.stop()
                bound = {"TOLVANE_MAX_QUEUED_MIB": str(held_mib)} if pages > 1 else {}
                self.agent = Agent(env={**sanitizer, **bound}).wait_ready()
                refused = run(self.calls_behind_waits(pages, calls, cancel_here), timeout=120)
                self.assertGreaterEqual(refused, pages * calls - held_mib - pages)

    async def calls_behind_waits(self, pages, calls, cancel_here):
        sockets = [await concurrent_connect(max_size=None) for _ in range(pages)]
        helper = await connect()
        try:
            contexts = [await establish(ws, 1) for ws in sockets]
            for ws, a in zip(sockets, contexts):
                await ws.send(wait_on_empty_reader(a, 1000))
            await nothing_within(sockets[-1], 0.3)
            pid = self.agent.proc.pid
            threads, resident = thread_count(pid), resident_kib(pid)

            async def send_all(ws, a):
                big = context_call(IS_VALID, a) + b"\0" * (1024 * 1024 - 200)
                for cid in range(1001, 1001 + calls):
                    await ws.send(with_completion_id(big, cid))
                if cancel_here:
                    await ws.send(with_completion_id(context_call(CANCEL, a), 3000))
            sending = [asyncio.ensure_future(send_all(ws, a)) for ws, a in zip(sockets, contexts)]
            await asyncio.sleep(3 * TIME_SCALE)
            grown = (resident_kib(pid) - resident) // 1024
            # ThreadSanitizer's shadow memory counts several times what the agent holds.
            bound = 24 * (5 if "TSAN_OPTIONS" in os.environ else 1)
            self.assertLess(grown, bound, f"resident memory grew by {grown} MiB")
            self.assertLessEqual(thread_count(pid), threads + pages)
            if not cancel_here:
                for a in contexts:
                    self.assertEqual(return_code(await roundtrip(helper, context_call(CANCEL, a))), 0)
            await asyncio.wait_for(asyncio.gather(*sending), 30 * TIME_SCALE)
            refused = 0
            for ws in sockets:
                got = dict(await replies(ws, calls + 1 + cancel_here, 30 * TIME_SCALE))
                self.assertEqual(sorted(got), list(range(1000, 1001 + calls)) + [3000] * cancel_here)
                self.assertEqual(return_code(got[1000]), SCARD_E_CANCELLED)
                refused += sum(return_code(r) == SCARD_E_NO_MEMORY for r in got.values())
            return refused
        finally:
            for ws in sockets:
                await ws.close()
            await helper.close()

    def test_a_reloaded_bridge_finds_its_contexts_and_cards(self):
        async def before_reload():
            ws = await concurrent_connect()
            context = await establish(ws, 1)
            connected = await connect_stable_card(ws, context)
            self.assertEqual(return_code(connected), 0)
            # A wait still pending when the window goes: it is cancelled, its reply dropped.
            await ws.send(wait_on_empty_reader(context, 50))
            await nothing_within(ws, 0.2)
            ws.transport.abort()
            return context, connected

        async def after_reload(context, connected):
            ws = await concurrent_connect()
            card, protocol = card_of(connected)
            self.assertEqual(return_code(await roundtrip(ws, context_call(IS_VALID, context))), 0)
            self.assertEqual(return_code(await roundtrip(ws, status_call(context, card, wide=True))), 0)
            self.assertEqual(return_code(await roundtrip(ws, transmit_call(context, card, protocol, SELECT))), 0)
            ws.transport.abort()  # and this time nobody comes back

        async def is_valid(context):
            ws = await connect()
            try:
                return return_code(await roundtrip(ws, context_call(IS_VALID, context)))
            finally:
                await ws.close()

        idle = thread_count(self.agent.proc.pid)
        released_before = len(self.released_lines())
        context, connected = run(before_reload(), timeout=60)
        time.sleep(2)
        # The wait has ended with its connection; one thread keeps the time of the held context.
        self.assertLessEqual(thread_count(self.agent.proc.pid), idle + 1)
        run(after_reload(context, connected))
        gone_at = time.monotonic()
        time.sleep(GRACE - 5)
        self.assertEqual(len(self.released_lines()), released_before)
        deadline = gone_at + GRACE + 5 * TIME_SCALE
        while len(self.released_lines()) == released_before and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(len(self.released_lines()), released_before + 1)
        self.assertGreaterEqual(time.monotonic() - gone_at, GRACE - 1)
        self.assertNotEqual(run(is_valid(context)), 0)

    def test_one_page_leaves_the_pcsc_service_to_other_programs(self):
        # Seven connections of one page ask for 32 contexts each (pcscd serves 200 in all), and
        # one context for 17 card handles: the agent's bounds for all connections together (64
        # contexts, 16 handles a context) answer the rest SCARD_E_NO_MEMORY, and another PC/SC
        # program of this computer still establishes, connects and takes a transaction.
        async def scenario():
            sockets = [await connect() for _ in range(7)]
            try:
                held, refused = [], 0
                for ws in sockets:
                    for _ in range(32):
                        reply = await roundtrip(ws, establish_call())
                        if return_code(reply) == 0:
                            held.append(reply[-8:])
                        else:
                            self.assertEqual(return_code(reply), SCARD_E_NO_MEMORY)
                            refused += 1
                self.assertEqual((len(held), refused), (64, 7 * 32 - 64))
                connected = await connect_stable_card(sockets[0], held[0])
                self.assertEqual(return_code(connected), 0)
                more = connect_call(held[0], FIRST_READER, wide=True)
                codes = [return_code(await roundtrip(sockets[0], more)) for _ in range(16)]
                self.assertEqual(codes, [0] * 15 + [SCARD_E_NO_MEMORY])
                self.assertTrue(await asyncio.to_thread(other_program_takes_card, FIRST_READER,
                                                        10 * TIME_SCALE))
                # A release makes room again.
                released = await roundtrip(sockets[1], context_call(RELEASE, held[-1]))
                self.assertEqual(return_code(released), 0)
                self.assertEqual(return_code(await roundtrip(sockets[1], establish_call())), 0)
            finally:
                for ws in sockets:
                    await ws.close()
        run(scenario(), timeout=120)
        self.assertTrue(self.agent.wait_for_match(r"PC/SC bound reached: 64 contexts .*"))


if __name__ == "__main__":
    unittest.main()

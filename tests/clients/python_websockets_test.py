"""Interoperability of korva-server with Python's websockets library (Debian's python3-websockets).

Runs the service binary (KORVA_SERVER_BINARY) on 127.0.0.1:8888 with the simulated device and
talks to it directly, as a third-party client would. Run with Debian's interpreter:

    KORVA_SERVER_BINARY=build/service/korva-server /usr/bin/python3 tests/clients/python_websockets_test.py
"""

import asyncio
import json
import os
import re
import socket
import subprocess
import sys
import threading
import time
import unittest

import websockets

URI = "ws://127.0.0.1:8888/api"
BINARY = os.environ.get("KORVA_SERVER_BINARY", "build/service/korva-server")


class Service:
    """The service as a child process; its standard output is collected for the log checks."""

    def __init__(self):
        self.output = ""
        self.changed = threading.Condition()
        if self._listening():
            raise RuntimeError("127.0.0.1:8888 is already taken; stop whatever listens there first")
        self.proc = subprocess.Popen([BINARY], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True, bufsize=1)
        threading.Thread(target=self._collect, daemon=True).start()
        deadline = time.monotonic() + 10
        while not self._listening():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("korva-server did not start: " + self.proc.stderr.read())
            time.sleep(0.02)

    @staticmethod
    def _listening():
        with socket.socket() as s:
            return s.connect_ex(("127.0.0.1", 8888)) == 0

    def _collect(self):
        for line in self.proc.stdout:
            with self.changed:
                self.output += line
                self.changed.notify_all()

    def wait_for(self, pattern, timeout=5.0):
        """Waits until the output matches pattern; returns the match."""
        regexp = re.compile(pattern)
        with self.changed:
            found = self.changed.wait_for(lambda: regexp.search(self.output), timeout)
        if not found:
            raise AssertionError(f"no {pattern!r} in the service output:\n{self.output[-3000:]}")
        return found

    def stop(self):
        self.proc.kill()
        self.proc.wait()


service = None


def setUpModule():
    global service
    service = Service()


def tearDownModule():
    service.stop()


def connect(address, **options):
    """Connects with a made-up client address, which names the connection in the service log."""
    return websockets.connect(URI, extra_headers={"X-Real-IP": address}, **options)


def echo_request(size, seed=0):
    """An echo request of exactly size bytes (at least 27) with a varied pad."""
    head, tail = '{"command":"echo","pad":"', '"}'
    alphabet = "abcdefghijklmnopqrstuvwxyz0123456789"
    count = size - len(head) - len(tail)
    pad = "".join(alphabet[(i * 7 + seed) % len(alphabet)] for i in range(count))
    return head + pad + tail


async def reply_to(ws, request):
    """Sends a request and returns the next message that is not a push or notification."""
    await ws.send(request)
    while True:
        message = await asyncio.wait_for(ws.recv(), 10)
        if '"notification"' in message[:20] or message.startswith('{"group"'):
            continue
        return message


class TestCase(unittest.IsolatedAsyncioTestCase):
    async def asyncSetUp(self):
        # unittest runs the event loop in debug mode, which is slow and warns about every
        # callback that takes more than 0.1 s.
        asyncio.get_running_loop().set_debug(False)


class Handshake(TestCase):
    async def test_agrees_on_permessage_deflate_without_subprotocol(self):
        async with connect("10.0.1.1") as ws:
            # The library offers permessage-deflate; the service agrees, with no context takeover
            # either way, and asks for a window of 4 KiB.
            self.assertEqual(ws.response_headers["Sec-WebSocket-Extensions"],
                             "permessage-deflate; server_no_context_takeover; client_no_context_takeover; "
                             "client_max_window_bits=12")
            self.assertEqual([extension.name for extension in ws.extensions], ["permessage-deflate"])
            self.assertIsNone(ws.subprotocol)
            self.assertEqual(ws.response_headers["Upgrade"], "websocket")
            reply = json.loads(await reply_to(ws, '{"command":"get_info"}'))
            self.assertEqual(reply["status"], "ok")
            self.assertEqual(reply["client"], "10.0.1.1")
        record = service.wait_for(r"Server: Opened connection 0x[0-9a-f]+\n    ip: +10\.0\.1\.1\n")
        self.assertIn("Sec-WebSocket-Extensions: permessage-deflate", service.output[record.end():])


class Messages(TestCase):
    async def test_messages_of_every_length_form_come_back_exactly(self):
        async with connect("10.0.2.1", max_size=None) as ws:
            for size in (125, 126, 65535, 65536, 1 << 20):
                with self.subTest(size=size):
                    request = echo_request(size, seed=size)
                    self.assertEqual(len(request.encode()), size)
                    reply = await reply_to(ws, request)
                    self.assertEqual(len(reply), size)
                    self.assertEqual(reply, request)

    async def test_an_empty_message_is_answered(self):
        async with connect("10.0.2.2") as ws:
            reply = json.loads(await reply_to(ws, ""))
            self.assertEqual(reply, {"status": "error", "error": "request is empty"})

    async def test_a_fragmented_message_arrives_whole(self):
        async with connect("10.0.2.3", max_size=None) as ws:
            # An iterable makes the library send one frame per item: text, continuation, ..., final.
            parts = ['{"command":"echo",', '"pad":"', "z" * 70000, '", "n":', "3}"]
            reply = await reply_to(ws, iter(parts))
            self.assertEqual(reply, "".join(parts))
            # The connection goes on normally afterwards.
            self.assertEqual(await reply_to(ws, echo_request(200)), echo_request(200))


class PingPong(TestCase):
    async def test_an_empty_ping_is_answered(self):
        async with connect("10.0.3.1") as ws:
            waiter = await ws.ping(b"")
            await asyncio.wait_for(waiter, 5)

    async def test_a_ping_with_data_gets_its_data_back(self):
        async with connect("10.0.3.2") as ws:
            # The library settles a ping's waiter only with a pong that carries the same data.
            await asyncio.wait_for(await ws.ping(b"abc"), 5)
            await asyncio.wait_for(await ws.ping(), 5)  # 4 random bytes

    async def test_the_library_keepalive_keeps_the_connection_open(self):
        # The library's keepalive (on by default: a ping with random data every 20 s, failing the
        # connection when no matching pong comes within 20 s) here with a short interval, so that
        # three seconds see as many pings as ten minutes with the defaults.
        async with connect("10.0.3.3", ping_interval=0.1, ping_timeout=0.5) as ws:
            await asyncio.sleep(3)  # the keepalive's own pace is what is under test
            self.assertFalse(ws.closed)
            self.assertEqual(await reply_to(ws, echo_request(100)), echo_request(100))

    async def test_without_keepalive_pings_the_connection_stays_open(self):
        async with connect("10.0.3.4", ping_interval=None) as ws:
            self.assertIn('"status":"ok"', await reply_to(ws, '{"command":"get_info"}'))


class Closing(TestCase):
    async def test_the_close_handshake_completes_on_both_sides(self):
        ws = await connect("10.0.4.1", close_timeout=5)
        await reply_to(ws, '{"command":"get_info"}')
        started = time.monotonic()
        await ws.close(1000, "done")
        # The service answered the close frame and closed TCP: the library did not have to wait
        # for its close time-out.
        self.assertLess(time.monotonic() - started, 2)
        self.assertEqual(ws.close_code, 1000)
        self.assertEqual(ws.close_reason, "done")
        service.wait_for(r"Server: Closed connection 0x[0-9a-f]+\n    ip:     10\.0\.4\.1\n"
                         r"    port:   \d+\n    status: 1000\n    reason: done\n")


class ManyClients(TestCase):
    CLIENTS = 200

    async def test_200_clients_at_once(self):
        """Each client: echo, get_info, a set_value of its own, get_values; then each waits
        until it has the notifications of all the others' set_value."""
        everyone_sent = asyncio.Event()
        sent = 0

        async def client(n):
            nonlocal sent
            address = f"10.2.{n // 256}.{n % 256}"
            notes = set()

            async def receive():
                message = json.loads(await asyncio.wait_for(ws.recv(), 20))
                if message.get("notification") == "value_changed":
                    notes.add(message["id"])
                    return None
                if "command" not in message and "status" not in message:
                    return None  # a value pushed by the monitor
                return message

            async def request(text):
                await ws.send(text)
                while (message := await receive()) is None:
                    pass
                return message

            async with connect(address, ping_interval=None, open_timeout=20, max_queue=None) as ws:
                text = json.dumps({"command": "echo", "client": n}, separators=(",", ":"))
                self.assertEqual(await request(text), {"command": "echo", "client": n})
                info = await request('{"command":"get_info"}')
                self.assertEqual(info["client"], address)
                reply = await request(f'{{"command":"set_value","group":7,"id":{n},"value":{n * 10}}}')
                self.assertEqual((reply["status"], reply["value"]), ("ok", n * 10))
                sent += 1
                if sent == self.CLIENTS:
                    everyone_sent.set()
                values = await request('{"command":"get_values"}')
                self.assertEqual(values["status"], "ok")
                await asyncio.wait_for(everyone_sent.wait(), 30)
                while len(notes) < self.CLIENTS - 1:
                    self.assertIsNone(await receive())
                self.assertNotIn(n, notes)
                return len(notes)

        started = time.monotonic()
        counts = await asyncio.wait_for(
            asyncio.gather(*(client(n) for n in range(self.CLIENTS))), 60)
        elapsed = time.monotonic() - started
        print(f"\n{self.CLIENTS} clients, 4 requests each, {sum(counts)} notifications: "
              f"{elapsed:.2f} s", file=sys.stderr)
        self.assertEqual(counts, [self.CLIENTS - 1] * self.CLIENTS)


if __name__ == "__main__":
    unittest.main(verbosity=2)

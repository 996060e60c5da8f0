"""The HTTP broadcast server's replies to raw-socket and curl requests, byte for byte: every
kind, an unknown path, cut, slow and over-long headers, an upload above the limit, a client that
resets, the radio channel written to the database, and the stop of a server on descriptor 0."""
import os
import re
import socket
import sqlite3
import struct
import subprocess
import time
import unittest

from gate import DB, FLOW_LOG, gate_board
from harness import HTTP_PORT, main, start_http

# Header bound 1.5 s, body bound 5 s, uploads up to 100000 bytes.
LIMITS = (1500, 5000, 100000)


def reply_re(body):
    return re.compile(rb"HTTP/1\.1 200 OK\r\nDate: [A-Z][a-z]{2} [ \d]\d \d{4}\r\nServer: Cassini/3\.5\.0\.0\r\n"
                      rb"Content-Type: application/x-json;charset=UTF-8\r\nContent-Length: %d\r\n"
                      rb"Connection:keep-alive\r\n\r\n" % len(body) + re.escape(body) + rb"\r\n")


OGG_PART = b'--zz\r\nContent-Disposition: form-data; name="f"; filename="a.ogg"\r\n\r\nOggS\r\n--zz--\r\n'
TRUE = reply_re(b'{"success":true}')
FALSE = reply_re(b'{"success":false}')


def connect(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=15)
    return s


def read_all(s):
    got = b""
    while True:
        try:
            chunk = s.recv(65536)
        except ConnectionResetError:
            break
        if not chunk:
            break
        got += chunk
    return got


def ask(port, data, shut=False):
    """Sends data on a new connection (then half-closes it when shut) and returns the reply."""
    with connect(port) as s:
        s.sendall(data)
        if shut:
            s.shutdown(socket.SHUT_WR)
        return read_all(s)


class ServerTest(unittest.TestCase):
    with_db = True
    close_stdin = False

    def setUp(self):
        self.board = gate_board(with_db=self.with_db)
        self.port = HTTP_PORT
        self.http = start_http(self.board, self.port, LIMITS, stdin_closed=self.close_stdin)

    def tearDown(self):
        self.board.close()

    def log(self):
        return self.board.read(FLOW_LOG)

    def assert_reply(self, pattern, got, what=""):
        self.assertRegex(got, pattern, what)
        self.assertEqual(len(pattern.fullmatch(got).group(0)), len(got), what)


class Requests(ServerTest):
    def test_each_kind_and_each_refusal(self):
        cases = [
            (b"GET /broadcast/StopBroadcast HTTP/1.1\r\nHost: x\r\n\r\n", TRUE, b"broad has stopped......"),
            (b"GET /broadcast/StopBroadcast HTTP/1.1\n\n\n\n", TRUE, b"broad has stopped......"),
            (b"GET /index.html HTTP/1.1\r\nHost: x\r\n\r\n", FALSE, None),
            (b"GET /broadcast/StopBroadcast HTTP/1.1\r\nX: " + b"a" * 9000 + b"\r\n\r\n", FALSE, None),
            (b"POST /upload/upload HTTP/1.1\r\nContent-Length: 200000\r\n\r\n", FALSE,
             b"broad upload too large:200000, limit:100000......"),
            # A file of another kind is not stored, the client still hears success.
            (b"POST /upload/upload HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=zz\r\n"
             b"Content-Length: %d\r\n\r\n%s" % (len(OGG_PART), OGG_PART), TRUE, None),
        ]
        for request, reply, logged in cases:
            with self.subTest(request[:40]):
                before = len(self.log())
                self.assert_reply(reply, ask(self.port, request))
                if logged:
                    self.assertIn(logged, self.log()[before:])
        for name in ("tmp.wav", "tmp.mp3", "1.wav"):
            self.assertFalse(self.board.exists(name), name)
        # Nothing is being converted: the next request is served.
        self.assert_reply(TRUE, ask(self.port, b"GET /broadcast/StopBroadcast HTTP/1.1\r\n\r\n"))

    def test_update_channel_writes_the_database(self):
        def stored():
            with sqlite3.connect(self.board.path(DB)) as db:
                return int(db.execute("SELECT M_VALUE FROM TB_INI WHERE M_NAME='CHANNEL_SWITCH'").fetchone()[0])
        cases = [
            (b"GET /broadcast/updateChannel?channel=5 HTTP/1.1\r\n\r\n", 4),
            (b"GET /broadcast/updateChannel HTTP/1.1\r\n\r\n", -1),  # no "channel=": channel 0
            (b"GET /broadcast/updateChannel?channel=16 HTTP/1.1\r\n\r\n", -1),
            (b"GET /broadcast/updateChannel?channel=15 HTTP/1.1\r\n\r\n", 14),
        ]
        for request, value in cases:
            with self.subTest(request):
                self.assert_reply(TRUE, ask(self.port, request))
                self.assertEqual(stored(), value)
        out = subprocess.run(["curl", "-s", "-i", "http://127.0.0.1:%d/broadcast/updateChannel?channel=3" % self.port],
                             stdout=subprocess.PIPE, check=True).stdout
        self.assert_reply(TRUE, out + b"\r\n")  # curl stops at Content-Length
        self.assertEqual(stored(), 2)

    def test_curl_requests(self):
        for path, pattern in (("broadcast/StopBroadcast", TRUE), ("nothing/here", FALSE)):
            with self.subTest(path):
                out = subprocess.run(["curl", "-s", "-i", "http://127.0.0.1:%d/%s" % (self.port, path)],
                                     stdout=subprocess.PIPE, check=True).stdout
                self.assert_reply(pattern, out + b"\r\n")

    def test_cut_silent_and_slow_clients_get_the_false_reply(self):
        # The peer half-closes before the header is complete.
        self.assert_reply(FALSE, ask(self.port, b"GET /broadcast/StopBroadcast HTTP/1.1\r\n", shut=True))
        # Nothing at all comes within 2 seconds.
        self.assert_reply(FALSE, ask(self.port, b""))
        # A byte every 0.1 s never waits 2 s for one byte, but the whole header takes longer than
        # the header bound: without it this client would hold the server for as long as it liked.
        with connect(self.port) as s:
            got = b""
            for ch in b"GET /broadcast/StopBroadcast HTTP/1.1\r\nHost: slow\r\n\r\n":
                try:
                    s.sendall(bytes([ch]))
                except OSError:
                    break
                time.sleep(0.1)
            got = read_all(s)
        self.assert_reply(FALSE, got)
        self.assert_reply(TRUE, ask(self.port, b"GET /broadcast/StopBroadcast HTTP/1.1\r\n\r\n"))

    def test_a_client_that_resets_does_not_end_the_server(self):
        # The false reply goes to a connection the peer has reset: a send must not raise SIGPIPE.
        for _ in range(3):
            s = connect(self.port)
            s.sendall(b"GET /broadcast/Stop")
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            s.close()
            time.sleep(0.1)
        self.assert_reply(TRUE, ask(self.port, b"GET /broadcast/StopBroadcast HTTP/1.1\r\n\r\n"))
        self.assertIsNone(self.http.poll())


class Broadcast(ServerTest):
    def test_start_refusals_and_stop(self):
        steps = [
            (b"POST /broadcast/InstantBroadcast HTTP/1.1\r\n\r\ntimes=2", TRUE, None),
            (b"POST /broadcast/InstantBroadcast HTTP/1.1\r\n\r\n", TRUE, b"broad started, please stop......"),
            (b"POST /upload/upload HTTP/1.1\r\nContent-Length: 10\r\n\r\n", FALSE,
             b"broad cannot upload while playing......"),
            (b"GET /broadcast/StopBroadcast HTTP/1.1\r\n\r\n", TRUE, None),
        ]
        for request, reply, logged in steps:
            with self.subTest(request[:40]):
                before = len(self.log())
                self.assert_reply(reply, ask(self.port, request))
                added = self.log()[before:]
                if logged:
                    self.assertIn(logged, added)
                else:
                    self.assertNotIn(b"ERROR", added)


class NoDatabase(ServerTest):
    with_db = False

    def test_a_channel_that_cannot_be_stored_gets_the_false_reply(self):
        self.assert_reply(FALSE, ask(self.port, b"GET /broadcast/updateChannel?channel=2 HTTP/1.1\r\n\r\n"))
        self.assertFalse(self.board.exists(DB))


class DescriptorZero(ServerTest):
    close_stdin = True

    def test_a_listener_on_descriptor_0_serves_and_stops(self):
        self.assertTrue(os.readlink("/proc/%d/fd/0" % self.http.p.pid).startswith("socket:"))
        self.assert_reply(TRUE, ask(self.port, b"GET /broadcast/StopBroadcast HTTP/1.1\r\n\r\n"))
        self.assertEqual(self.http.stop()[0], 0)
        self.assertIn(b"http harness stopped", self.http.out)
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", self.port), timeout=5).close()


if __name__ == "__main__":
    main()

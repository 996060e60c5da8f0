"""Dispatch consoles on the status-query server of the running switch: identification, the
watch list, queries, heartbeats, the status pushes of a SIPp call, and what the server does
with consoles that misbehave."""
import socket
import struct
import time
import unittest

from call_parties import Sipp, Switch, register
from harness import free_port, main
from link_peers import TcpPeer, console_frame, console_status, number_field

HEARTBEAT, ADD, DELETE, QUERY, REGISTER = 6, 0, 1, 4, 9


def done(seq, number, detail):
    return struct.pack(">BBBBH", 0xF5, seq, 2, 2, 35) + number_field(number) + bytes([detail]) + b"\0" * 9


def failed(seq, reason, number):
    return struct.pack(">BBBBH", 0xF5, seq, 2, 3, 36) + bytes([reason]) + number_field(number) + b"\0" * 10


def answer(seq, kind, value):
    return struct.pack(">BBBBH", 0xF5, seq, 2, kind, 11) + bytes([value]) + b"\0" * 10


class Consoles(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.port = free_port(socket.SOCK_STREAM)
        cls.sw = Switch("sip_status_check_enable=1\nsip_status_port=%d\n" % cls.port)
        assert b"Bind  Status  Query  Port = [%d]  Success \n" % cls.port in cls.sw.banner

    @classmethod
    def tearDownClass(cls):
        assert cls.sw.close() == 0

    def console(self):
        """A console that has identified itself with its first heartbeat (not answered)."""
        c = TcpPeer(self.port)
        self.addCleanup(c.close)
        c.send(console_frame(HEARTBEAT, seq=9))
        self.assertTrue(c.silent(0.3))
        return c

    def add(self, c, number, seq=1):
        c.send(console_frame(ADD, seq, number_field(number)))
        self.assertEqual(c.read(41), done(seq, number, 0))

    def test_requests_of_an_identified_console(self):
        c = TcpPeer(self.port)
        self.addCleanup(c.close)
        # Before its first heartbeat a console is not answered.
        c.send(console_frame(ADD, 3, number_field(b"700")))
        self.assertTrue(c.silent(0.3))
        c.send(console_frame(HEARTBEAT, seq=4))
        self.assertTrue(c.silent(0.3))
        c.send(console_frame(HEARTBEAT, seq=5))
        self.assertEqual(c.read(17), answer(5, 7, 0))
        c.send(console_frame(REGISTER, seq=6))
        self.assertEqual(c.read(17), answer(6, 10, 1))
        # A number nobody registered reads offline; a second add takes no second slot.
        for seq in (7, 8):
            c.send(console_frame(ADD, seq, number_field(b"700")))
            self.assertEqual(c.read(41), done(seq, b"700", 0))
            self.assertEqual(c.read(42), console_status(b"700", 2))
        register(self.sw, b"700", free_port())
        self.assertEqual(c.read(42), console_status(b"700", 0))
        c.send(console_frame(QUERY, 10, number_field(b"700")))
        self.assertEqual(c.read(42), console_status(b"700", 0))
        c.send(console_frame(DELETE, 11, number_field(b"700")))
        self.assertEqual(c.read(41), done(11, b"700", 1))
        c.send(console_frame(DELETE, 12, number_field(b"700")))
        self.assertEqual(c.read(42), failed(12, 3, b"700"))
        c.send(console_frame(QUERY, 13, number_field(b"700")))
        self.assertEqual(c.read(42), console_status(b"700", 3))
        # Several frames in one write are each answered; an unknown type is not.
        c.send(console_frame(HEARTBEAT, 14) + console_frame(42, 15) + console_frame(REGISTER, 16))
        self.assertEqual(c.read(34), answer(14, 7, 0) + answer(16, 10, 1))

    def test_status_pushes_of_a_call_reach_every_console_watching(self):
        consoles = [self.console(), self.console()]
        for c in consoles:
            for n in (b"811", b"812"):
                self.add(c, n)
                self.assertEqual(c.read(42), console_status(n, 2))
        keys = [("calling", "811"), ("called", "812")]
        uas = Sipp(self.sw, "call_uas.xml", "812", keys)
        for c in consoles:
            self.assertEqual(c.read(42), console_status(b"812", 0))
        uac = Sipp(self.sw, "call_uac.xml", "811", keys)
        self.assertEqual(uac.result()[0], 0)
        self.assertEqual(uas.result()[0], 0)
        for c in consoles:
            got = [c.read(42) for _ in range(7)]
            self.assertTrue(c.silent(0.5))
            self.assertEqual([g for g in got if g[7:10] == b"811"],
                             [console_status(b"811", s) for s in (0, 1, 4, 0)])
            self.assertEqual([g for g in got if g[7:10] == b"812"],
                             [console_status(b"812", s) for s in (1, 4, 0)])

    def test_frames_in_pieces_and_garbage(self):
        c = self.console()
        frame = console_frame(ADD, 2, number_field(b"733"))
        # A frame that arrives in pieces is handled once it is whole.
        for piece in (frame[:3], frame[3:10], frame[10:]):
            c.send(piece)
            time.sleep(0.1)
        self.assertEqual(c.read(41), done(2, b"733", 0))
        self.assertEqual(c.read(42), console_status(b"733", 2))
        # A short length reads no byte past the frame: the number is what the frame holds.
        c.send(console_frame(QUERY, 3, b"73"))
        self.assertEqual(c.read(42), console_status(b"73", 3))
        # Bytes that start no frame are dropped; the connection carries on.
        c.send(b"\x00garbage" + b"\xf5\x01\x07\x06\x00\x00")
        c.send(console_frame(HEARTBEAT, 4))
        self.assertEqual(c.read(17), answer(4, 7, 0))
        # A length that promises more than ever comes is dropped with what follows.
        c.send(b"\xf5\x05\x01\x06\xff\xff" + b"x" * 100)
        time.sleep(0.2)
        self.assertIsNone(self.sw.prog.poll())

    def test_silent_console_closed_after_ten_seconds_of_wall_clock(self):
        c = TcpPeer(self.port)
        self.addCleanup(c.close)
        k = self.console()
        self.add(k, b"744")
        k.read(42)
        start = time.time()
        self.assertTrue(c.closed_by_switch(timeout=14))
        self.assertTrue(k.closed_by_switch(timeout=2))
        self.assertGreater(time.time() - start, 8)
        # Its watched number went with it: a new console watching it is pushed alone.
        n = self.console()
        self.add(n, b"744")
        self.assertEqual(n.read(42), console_status(b"744", 2))

    def test_console_that_stops_reading_is_dropped(self):
        # The switch's send buffer may grow to the namespace's tcp_wmem limit (4 MiB by default)
        # before a console counts as stopped; a small limit makes that quick on a loaded machine.
        # The setting belongs to this script's own network namespace.
        try:
            with open("/proc/sys/net/ipv4/tcp_wmem", "w") as f:
                f.write("4096 16384 65536")
        except OSError:
            pass
        c = TcpPeer(self.port)
        self.addCleanup(c.close)
        c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        c.send(console_frame(HEARTBEAT))
        c.sock.setblocking(False)
        query = console_frame(QUERY, 1, number_field(b"9")) * 200
        end = time.time() + 180
        dropped = False
        while time.time() < end and not dropped:
            try:
                c.sock.send(query)
            except BlockingIOError:
                time.sleep(0.01)
            except (BrokenPipeError, ConnectionResetError):
                dropped = True
        self.assertTrue(dropped)
        # The loop carries on for everyone else.
        k = self.console()
        k.send(console_frame(HEARTBEAT, 7))
        self.assertEqual(k.read(17), answer(7, 7, 0))


if __name__ == "__main__":
    main()

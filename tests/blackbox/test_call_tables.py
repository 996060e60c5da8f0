"""The switch's tables full against the running switch: 250 calls at once, a call more finds no
leg and gets no answer while the others go on, and once all have ended, 250 calls fit again."""
import unittest

from call_parties import Phone, Switch, first_line
from harness import main

CALLS = 250   # 500 legs and 500 usable call channels, two of each per call
SDP_A = b"v=0\r\nc=IN IP4 127.0.0.1\r\nm=audio 4000 RTP/AVP 8\r\n"
SDP_B = b"v=0\r\nc=IN IP4 127.0.0.2\r\nm=audio 5000 RTP/AVP 0\r\n"


class FullTables(unittest.TestCase):
    def setUp(self):
        self.sw = Switch()
        self.a = Phone(self.sw, b"801")
        self.b = Phone(self.sw, b"802")
        self.ack = b"ACK sip:802@127.0.0.1:%d SIP/2.0" % self.sw.port
        self.bye = b"BYE sip:802@127.0.0.1:%d SIP/2.0" % self.sw.port

    def tearDown(self):
        self.a.close()
        self.b.close()
        self.assertEqual(self.sw.close(), 0)

    def fill(self, round_):
        a, b = self.a, self.b
        for n in range(CALLS):
            callid = b"%s-%d" % (round_, n)
            a.send(a.request(b"INVITE", callid, b"802", 1, SDP_A))
            self.assertEqual(first_line(a.recv()), b"SIP/2.0 100 Trying", n)
            invite = b.recv()
            self.assertEqual(first_line(invite), b"INVITE sip:802@127.0.0.1:%d SIP/2.0" % self.sw.port, n)
            b.reply(invite, b"200 OK", SDP_B)
            self.assertEqual(first_line(b.recv()), self.ack, n)
            self.assertEqual(first_line(a.recv()), b"SIP/2.0 200 OK", n)
            a.send(a.request(b"ACK", callid, b"802", 1))

    def one_too_many(self):
        a, b = self.a, self.b
        a.send(a.request(b"INVITE", b"one-too-many", b"802", 1, SDP_A))
        self.assertTrue(a.silent(1.0), "no leg: no answer at all")
        self.assertTrue(b.silent(0.1))

    def empty(self, round_):
        a, b = self.a, self.b
        for n in range(CALLS):
            a.send(a.request(b"BYE", b"%s-%d" % (round_, n), b"802", 2))
            self.assertEqual(first_line(a.recv()), b"SIP/2.0 200 OK", n)
            bye = b.recv()
            self.assertEqual(first_line(bye), self.bye, n)
            b.reply(bye, b"200 OK")

    def test_250_calls_at_once_and_nothing_leaks(self):
        self.fill(b"first")
        self.one_too_many()
        # The calls that were up are undisturbed: each ends normally.
        self.empty(b"first")
        # Every leg and channel came back: the tables fill exactly again.
        self.fill(b"second")
        self.one_too_many()
        self.empty(b"second")
        self.assertTrue(self.a.silent(0.5) and self.b.silent(0.1))


if __name__ == "__main__":
    main()

"""The switch's one-second timers against the running switch: a called party that never answers
is released after callctrl_pendtime or sip_pend_time, and a message that is never answered is
sent three times and then given up, which ends the call."""
import unittest

from call_parties import Phone, Switch, first_line, header
from harness import main

SDP_A = b"v=0\r\nc=IN IP4 127.0.0.1\r\nm=audio 4000 RTP/AVP 8\r\n"
SDP_B = b"v=0\r\nc=IN IP4 127.0.0.2\r\nm=audio 5000 RTP/AVP 0\r\n"


def call(a, b, callid):
    """a calls b; returns the INVITE b received."""
    a.send(a.request(b"INVITE", callid, b.number, 1, SDP_A))
    assert first_line(a.recv()) == b"SIP/2.0 100 Trying"
    invite = b.recv()
    assert first_line(invite).startswith(b"INVITE sip:" + b.number), invite
    return invite


def copies(phone, first):
    """first and every datagram that follows it until the phone falls silent for 3 s."""
    got = [first]
    while True:
        m = phone.recv(timeout=3.0)
        if m is None:
            return got
        got.append(m)


class NoAnswer(unittest.TestCase):
    def ringing_until_released(self, settings):
        sw = Switch(settings)
        a, b = Phone(sw, b"801"), Phone(sw, b"802")
        try:
            invite = call(a, b, b"n1")
            b.reply(invite, b"180 Ringing")
            self.assertEqual(first_line(a.recv()), b"SIP/2.0 180 Ringing")
            self.assertEqual(first_line(a.recv(timeout=15)), b"SIP/2.0 488 Not Acceptable Here")
            cancel = b.recv()
            self.assertEqual(cancel, b"CANCEL sip:802@127.0.0.1:%d SIP/2.0\r\nMax-Forwards: 70\r\n" % sw.port + header(invite, b"Via") +
                             b"\r\n" + header(invite, b"From") + b"\r\n" + header(invite, b"To") + b";tag=q\r\n" +
                             header(invite, b"Call-ID") + b"\r\nCSeq: 1 CANCEL\r\nContent-Length: 0\r\n\r\n")
            b.reply(cancel, b"200 OK")
            b.reply(invite, b"487 Request Terminated")
            self.assertEqual(first_line(b.recv()), b"ACK sip:802@127.0.0.1:%d SIP/2.0" % sw.port)
            self.assertTrue(a.silent(2) and b.silent(0.1), "released once")
            # Both are free for the next call.
            invite = call(a, b, b"n2")
            b.reply(invite, b"200 OK", SDP_B)
            self.assertEqual(first_line(a.recv()), b"SIP/2.0 200 OK")
        finally:
            a.close()
            b.close()
            self.assertEqual(sw.close(), 0)

    def test_after_the_call_control_time(self):
        self.ringing_until_released("callctrl_pendtime=2\nsip_pend_time=60\n")

    def test_after_the_leg_time(self):
        self.ringing_until_released("callctrl_pendtime=60\nsip_pend_time=2\n")


class Unanswered(unittest.TestCase):
    def test_messages_are_sent_three_times_then_given_up(self):
        sw = Switch()
        phones = [Phone(sw, b"8%d" % n) for n in range(10, 16)]
        a1, b1, a2, b2, a3, b3 = phones
        try:
            # An INVITE that is never answered.
            invite = call(a1, b1, b"u1")
            # A 200 that is never acknowledged.
            answered = call(a2, b2, b"u2")
            b2.reply(answered, b"200 OK", SDP_B)
            ok = a2.recv()
            self.assertEqual(first_line(ok), b"SIP/2.0 200 OK")
            self.assertEqual(first_line(b2.recv()), b"ACK sip:%s@127.0.0.1:%d SIP/2.0" % (b2.number, sw.port))
            # A BYE that is never answered.
            talking = call(a3, b3, b"u3")
            b3.reply(talking, b"200 OK", SDP_B)
            b3.recv()
            a3.recv()
            a3.send(a3.request(b"ACK", b"u3", b3.number, 1))
            a3.send(a3.request(b"BYE", b"u3", b3.number, 2))
            self.assertEqual(first_line(a3.recv()), b"SIP/2.0 200 OK")
            bye = b3.recv()
            self.assertEqual(first_line(bye), b"BYE sip:%s@127.0.0.1:%d SIP/2.0" % (b3.number, sw.port))

            # Given up at the fourteenth second, each ends its call.
            self.assertEqual(first_line(a1.recv(timeout=30)), b"SIP/2.0 488 Not Acceptable Here")
            bye2 = b2.recv(timeout=30)
            self.assertEqual(first_line(bye2), b"BYE sip:%s@127.0.0.1:%d SIP/2.0" % (b2.number, sw.port))
            b2.reply(bye2, b"200 OK")
            for phone, first in ((b1, invite), (a2, ok), (b3, bye)):
                self.assertEqual(copies(phone, first), [first] * 3, first_line(first))
            self.assertTrue(a3.silent(0.1))
            # Every leg is free again: the same phones call again.
            for caller, called, callid in ((a1, b1, b"v1"), (a2, b2, b"v2"), (a3, b3, b"v3")):
                invite = call(caller, called, callid)
                called.reply(invite, b"200 OK", SDP_B)
                self.assertEqual(first_line(caller.recv()), b"SIP/2.0 200 OK")
        finally:
            for phone in phones:
                phone.close()
            self.assertEqual(sw.close(), 0)


if __name__ == "__main__":
    main()

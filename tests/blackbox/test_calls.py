"""Calls between registered phones through the running switch: SIPp phones call each other, are
refused, cancel; plain UDP phones relay INFO and media changes; SIGTERM ends the calls."""
import signal
import unittest

from call_parties import TAIL, Phone, Sipp, Switch, first_line, header, pattern, received, sdp_of
from harness import main

NUMBER = rb"{{\d+}}"


class SippCalls(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sw = Switch()
        cls.sport = b"%d" % cls.sw.port

    @classmethod
    def tearDownClass(cls):
        assert cls.sw.close() == 0

    def call(self, uas_scenario, uac_scenario, uac_code=None, uas_code=None, caller=b"801", called=b"802"):
        keys = [("calling", caller.decode()), ("called", called.decode())]
        uas = Sipp(self.sw, uas_scenario, called.decode(), keys, code=uas_code)
        uac = Sipp(self.sw, uac_scenario, caller.decode(), keys, code=uac_code)
        uac_rc, uac_msgs = uac.result()
        uas_rc, uas_msgs = uas.result()
        self.assertEqual((uac_rc, uas_rc), (0, 0), (uac_msgs, uas_msgs))
        self.uas_sent = [m for kind, m in uas_msgs if kind == b"sent"]
        return uac, received(uac_msgs), uas, received(uas_msgs)

    def check_invite(self, invite, uac, uas, media=b"m=audio 6000 RTP/AVP 8 0\r\na=rtpmap:8 PCMA/8000\r\na=rtpmap:0 PCMU/8000"):
        body = (b"v=0\r\no=KelvanorVtn3000 1073741824 1073741824 IN IP4 127.0.0.1\r\ns=1\r\nc=IN IP4 127.0.0.1\r\n"
                b"t=0 0\r\n" + media + b"\r\n")
        want = (b"INVITE sip:802@127.0.0.1:" + self.sport + b" SIP/2.0\r\nMax-Forwards: 70\r\n"
                b"Via: SIP/2.0/UDP 127.0.0.1:" + self.sport + b";branch=z9hG4bK" + NUMBER + b"\r\n"
                b"From: 801 <sip:801@127.0.0.1:" + self.sport + b">;tag=" + NUMBER + b"\r\n"
                b"To: 802 <sip:802@127.0.0.1:%d>\r\n" % uas.port +
                b"Call-ID: " + NUMBER + b"\r\nUser-Agent: kelvanor brennoval\r\nCSeq: 1 INVITE\r\n"
                b"Contact: 801 <sip:801@127.0.0.1:" + self.sport + b">\r\n" + sdp_of(body))
        self.assertRegex(invite, pattern(want))

    def caller_lines(self, uac, to_tag=True):
        """The caller's own lines as the switch echoes them, with the switch's To tag."""
        return (b"Via: SIP/2.0/UDP 127.0.0.1:%d;branch=" % uac.port + rb"{{[^\r]+}}" + b"\r\n"
                b"From: <sip:801@127.0.0.1>;tag=" + rb"{{\d+}}A1" + b"\r\nTo: <sip:802@127.0.0.1>" +
                (b";tag=" + NUMBER if to_tag else b"") + b"\r\nCall-ID: " + rb"{{[^\r]+}}" + b"\r\nCSeq: 1 INVITE\r\n")

    def test_caller_hangs_up(self):
        uac, at_uac, uas, at_uas = self.call("call_uas.xml", "call_uac.xml")
        invite, ack, bye = at_uas
        self.check_invite(invite, uac, uas)
        # The ACK names the called party's tag, from its answers.
        self.assertEqual(ack, b"ACK sip:802@127.0.0.1:" + self.sport + b" SIP/2.0\r\nMax-Forwards: 70\r\n" + header(invite, b"Via") +
                         b"\r\n" + header(invite, b"From") + b"\r\n" + header(self.uas_sent[0], b"To") + b"\r\n" +
                         header(invite, b"Call-ID") + b"\r\nCSeq: 1 ACK\r\n" + TAIL)
        self.assertRegex(bye, pattern(b"BYE sip:802@127.0.0.1:" + self.sport + b" SIP/2.0\r\nMax-Forwards: 70\r\n"
                                      b"Via: SIP/2.0/UDP 127.0.0.1:" + self.sport + b";branch=z9hG4bK" + NUMBER +
                                      b"\r\n" + header(ack, b"From") + b"\r\n" + header(ack, b"To") + b"\r\n" +
                                      header(invite, b"Call-ID") + b"\r\nCSeq: 2 BYE\r\n" + TAIL))

        trying, ringing, ok, bye_ok = at_uac
        self.assertRegex(trying, pattern(b"SIP/2.0 100 Trying\r\n" + self.caller_lines(uac, to_tag=False) + TAIL))
        self.assertRegex(ringing, pattern(b"SIP/2.0 180 Ringing\r\n" + self.caller_lines(uac) + TAIL))
        answer_sdp = (b"v=0\r\no=KelvanorVtn3000 1073741824 1073741824 IN IP4 127.0.0.1\r\ns=1\r\n"
                      b"c=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio 7000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n")
        self.assertRegex(ok, pattern(b"SIP/2.0 200 OK\r\n" + self.caller_lines(uac) +
                                     b"Contact: <sip:802@127.0.0.1:" + self.sport + b">\r\n" + sdp_of(answer_sdp)))
        self.assertEqual(header(ok, b"To"), header(ringing, b"To"), "one To tag for the whole dialog")
        self.assertEqual(first_line(bye_ok), b"SIP/2.0 200 OK")

    def test_called_party_hangs_up(self):
        uac, at_uac, uas, at_uas = self.call("call_uas_hangup.xml", "call_uac_wait.xml")
        self.check_invite(at_uas[0], uac, uas, media=b"m=audio 6000 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000")
        ok = at_uac[-2]
        bye = at_uac[-1]
        # The switch is the called side of the caller's dialog: From and To change places.
        self.assertRegex(bye, pattern(b"BYE sip:801@127.0.0.1:" + self.sport + b" SIP/2.0\r\nMax-Forwards: 70\r\n"
                                      b"Via: SIP/2.0/UDP 127.0.0.1:" + self.sport + b";branch=z9hG4bK" + NUMBER +
                                      b"\r\nFrom: " + header(ok, b"To")[4:] + b"\r\nTo: " + header(ok, b"From")[6:] +
                                      b"\r\n" + header(ok, b"Call-ID") + b"\r\nCSeq: 1 BYE\r\n" + TAIL))
        self.assertEqual(first_line(at_uas[-1]), b"SIP/2.0 200 OK")

    def test_early_media(self):
        uac, at_uac, uas, _ = self.call("call_uas_progress.xml", "call_uac.xml")
        progress = at_uac[1]
        media = (b"v=0\r\no=KelvanorVtn3000 1073741824 1073741824 IN IP4 127.0.0.1\r\ns=1\r\n"
                 b"c=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio 7000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n")
        self.assertRegex(progress, pattern(b"SIP/2.0 183 Session Progress\r\n" + self.caller_lines(uac) + sdp_of(media)))

    def test_callers_that_are_refused(self):
        cases = [
            ("an unregistered caller", b"805", b"802"),
            ("a caller calling itself", b"801", b"801"),
            ("an unknown number", b"801", b"899"),
        ]
        for what, caller, called in cases:
            with self.subTest(what):
                keys = [("calling", caller.decode()), ("called", called.decode())]
                # The caller registers as 801 from its port: 805 is unknown there.
                uac = Sipp(self.sw, "call_uac_refused.xml", "801", keys, code="488")
                rc, msgs = uac.result()
                self.assertEqual(rc, 0, msgs)
                self.assertEqual(first_line(received(msgs)[-1]), b"SIP/2.0 488 Not Acceptable Here")

    def test_failures_of_the_called_party(self):
        for status, caller_gets in (("486 Busy Here", "486"), ("603 Decline", "488"), ("480 Unavailable", "488")):
            with self.subTest(status):
                uac, at_uac, uas, at_uas = self.call("call_uas_refuse.xml", "call_uac_refused.xml",
                                                     uac_code=caller_gets, uas_code=status)
                self.assertEqual(first_line(at_uas[-1]), b"ACK sip:802@127.0.0.1:" + self.sport + b" SIP/2.0")
                self.assertEqual(first_line(at_uac[-1]).split(b" ")[1], caller_gets.encode())

    def test_cancel_before_the_answer(self):
        uac, at_uac, uas, at_uas = self.call("call_uas_cancelled.xml", "call_uac_cancel.xml")
        self.assertEqual([first_line(m) for m in at_uac[-2:]],
                         [b"SIP/2.0 200 OK", b"SIP/2.0 487 RequestTerminated"])
        invite, cancel, ack = at_uas
        self.assertEqual(cancel, b"CANCEL sip:802@127.0.0.1:" + self.sport + b" SIP/2.0\r\nMax-Forwards: 70\r\n" +
                         header(invite, b"Via") + b"\r\n" + header(invite, b"From") + b"\r\n" +
                         header(ack, b"To") + b"\r\n" + header(invite, b"Call-ID") + b"\r\nCSeq: 1 CANCEL\r\n" + TAIL)
        self.assertEqual(first_line(ack), b"ACK sip:802@127.0.0.1:" + self.sport + b" SIP/2.0")


class Relays(unittest.TestCase):
    """INFO and media changes between two talking phones, and the end of the switch."""

    def setUp(self):
        self.sw = Switch()
        self.a = Phone(self.sw, b"801")
        self.b = Phone(self.sw, b"802")

    def tearDown(self):
        self.a.close()
        self.b.close()
        self.sw.close()

    def talk(self, callid=b"rel1"):
        a, b = self.a, self.b
        a.send(a.request(b"INVITE", callid, b"802", 1, b"v=0\r\nc=IN IP4 127.0.0.1\r\nm=audio 4000 RTP/AVP 8\r\n"))
        self.assertEqual(first_line(a.recv()), b"SIP/2.0 100 Trying")
        invite = b.recv()
        b.reply(invite, b"200 OK", b"v=0\r\nc=IN IP4 127.0.0.2\r\nm=audio 5000 RTP/AVP 0\r\n")
        self.assertEqual(first_line(b.recv()), b"ACK sip:802@127.0.0.1:%d SIP/2.0" % self.sw.port)
        self.assertEqual(first_line(a.recv()), b"SIP/2.0 200 OK")
        a.send(a.request(b"ACK", callid, b"802", 1))
        return invite

    def test_info_both_ways(self):
        invite = self.talk()
        a, b = self.a, self.b
        a.send(a.request(b"INFO", b"rel1", b"802", 2, b"Signal=7\r\nDuration=250\r\n",
                         content_type=b"application/dtmf-relay"))
        self.assertEqual(first_line(a.recv()), b"SIP/2.0 200 OK")
        info = b.recv()
        sport = b"%d" % self.sw.port
        self.assertRegex(info, pattern(b"INFO sip:802@127.0.0.1:" + sport + b" SIP/2.0\r\nMax-Forwards: 70\r\n"
                                       b"Via: SIP/2.0/UDP 127.0.0.1:" + sport + b";branch=z9hG4bK" + NUMBER + b"\r\n" +
                                       header(invite, b"From") + b"\r\n" + header(invite, b"To") + b";tag=q\r\n" +
                                       header(invite, b"Call-ID") + b"\r\nCSeq: 2 INFO\r\n"
                                       b"Contact: 801 <sip:801@127.0.0.1:" + sport + b">\r\n"
                                       b"Content-Type: application/dtmf-relay\r\nContent-Length: 10\r\n\r\nSignal=7\r\n"))
        # From the called party: the caller gets it, in its dialog's terms.
        b.send(b"INFO sip:801@127.0.0.1 SIP/2.0\r\n" + b.via() + b"\r\nFrom: " + header(invite, b"To")[4:] +
               b";tag=q\r\nTo: " + header(invite, b"From")[6:] + b"\r\n" + header(invite, b"Call-ID") +
               b"\r\nCSeq: 1 INFO\r\nContent-Type: application/dtmf-relay\r\nContent-Length: 10\r\n\r\nSignal=#\r\n")
        self.assertEqual(first_line(b.recv()), b"SIP/2.0 200 OK")
        info = a.recv()
        self.assertRegex(info, pattern(b"INFO sip:801@127.0.0.1:" + sport + b" SIP/2.0\r\nMax-Forwards: 70\r\nVia: {{[^\r]+}}\r\n"
                                       b"From: <sip:802@127.0.0.1>;tag=" + NUMBER + b"\r\n"
                                       b"To: <sip:801@127.0.0.1>;tag=p\r\nCall-ID: rel1\r\nCSeq: 1 INFO\r\n"
                                       b"Contact: 802 <sip:802@127.0.0.1:" + sport + b">\r\n"
                                       b"Content-Type: application/dtmf-relay\r\nContent-Length: 10\r\n\r\nSignal=#\r\n"))

    def test_media_changes_both_ways(self):
        invite = self.talk()
        a, b = self.a, self.b
        sport = b"%d" % self.sw.port
        a.send(a.request(b"INVITE", b"rel1", b"802", 2, b"v=0\r\nc=IN IP4 127.0.0.9\r\nm=audio 4100 RTP/AVP 0\r\n"))
        ok = a.recv()
        self.assertRegex(ok, pattern(b"SIP/2.0 200 OK\r\n" + a.via(b"z9hG4bKINVITE2") + b"\r\n"
                                     b"From: <sip:801@127.0.0.1>;tag=p\r\nTo: <sip:802@127.0.0.1>;tag=" + NUMBER +
                                     b"\r\nCall-ID: rel1\r\nCSeq: 2 INVITE\r\nContact: <sip:802@127.0.0.1:" + sport +
                                     b">\r\n{{.*}}c=IN IP4 127.0.0.2\r\nt=0 0\r\nm=audio 5000 RTP/AVP 0\r\n{{.*}}"))
        reinvite = b.recv()
        body = (b"v=0\r\no=KelvanorVtn3000 141826 1073741824 IN IP4 127.0.0.9\r\ns=1\r\nc=IN IP4 127.0.0.9\r\n"
                b"t=0 0\r\nm=audio 4100 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n")
        self.assertRegex(reinvite, pattern(b"INVITE sip:802@127.0.0.1:" + sport + b" SIP/2.0\r\nMax-Forwards: 70\r\n"
                                           b"Via: SIP/2.0/UDP 127.0.0.1:" + sport + b";branch=z9hG4bK" + NUMBER +
                                           b"\r\n" + header(invite, b"From") + b"\r\n" + header(invite, b"To") +
                                           b";tag=q\r\n" + header(invite, b"Call-ID") + b"\r\nCSeq: 2 INVITE\r\n" +
                                           header(invite, b"Contact") + b"\r\n" + sdp_of(body)))
        b.reply(reinvite, b"200 OK", b"v=0\r\nc=IN IP4 127.0.0.2\r\nm=audio 5000 RTP/AVP 0\r\n")
        self.assertEqual(first_line(b.recv()), b"ACK sip:802@127.0.0.1:" + sport + b" SIP/2.0")
        a.send(a.request(b"ACK", b"rel1", b"802", 2))

        # The called party changes its media: the caller is told.
        b.send(b"INVITE sip:801@127.0.0.1 SIP/2.0\r\n" + b.via() + b"\r\nFrom: " + header(invite, b"To")[4:] +
               b";tag=q\r\nTo: " + header(invite, b"From")[6:] + b"\r\n" + header(invite, b"Call-ID") +
               b"\r\nCSeq: 5 INVITE\r\n" + sdp_of(b"v=0\r\nc=IN IP4 127.0.0.8\r\nm=audio 5200 RTP/AVP 8\r\n"))
        ok = b.recv()
        self.assertEqual(header(ok, b"From"), b"From: " + header(invite, b"To")[4:] + b";tag=q")
        self.assertEqual(header(ok, b"To"), b"To: " + header(invite, b"From")[6:])
        reinvite = a.recv()
        self.assertRegex(reinvite, pattern(b"INVITE sip:801@127.0.0.1:" + sport + b" SIP/2.0\r\n{{.*}}"
                                           b"From: <sip:802@127.0.0.1>;tag=" + NUMBER + b"\r\n"
                                           b"To: <sip:801@127.0.0.1>;tag=p\r\nCall-ID: rel1\r\nCSeq: 1 INVITE\r\n"
                                           b"Contact: 802 <sip:802@127.0.0.1:" + sport + b">\r\n{{.*}}"
                                           b"c=IN IP4 127.0.0.8\r\nt=0 0\r\nm=audio 5200 RTP/AVP 8\r\n{{.*}}"))

    def test_a_refused_media_change_keeps_the_call(self):
        self.talk()
        a, b = self.a, self.b
        a.send(a.request(b"INVITE", b"rel1", b"802", 2, b"v=0\r\nc=IN IP4 127.0.0.9\r\nm=audio 4100 RTP/AVP 0\r\n"))
        a.recv()
        reinvite = b.recv()
        b.reply(reinvite, b"488 Not Acceptable Here")
        ack = b.recv()
        self.assertEqual(first_line(ack), b"ACK sip:802@127.0.0.1:%d SIP/2.0" % self.sw.port)
        self.assertEqual(header(ack, b"CSeq"), b"CSeq: 2 ACK")
        self.assertTrue(a.silent(), "the caller keeps its call")
        a.send(a.request(b"BYE", b"rel1", b"802", 3))
        self.assertEqual(first_line(a.recv()), b"SIP/2.0 200 OK")
        self.assertEqual(first_line(b.recv()), b"BYE sip:802@127.0.0.1:%d SIP/2.0" % self.sw.port)

    def test_an_answer_crossing_the_cancel_is_ended_with_a_bye(self):
        a, b = self.a, self.b
        sport = b"%d" % self.sw.port
        a.send(a.request(b"INVITE", b"x1", b"802", 1, b"v=0\r\nc=IN IP4 127.0.0.1\r\nm=audio 4000 RTP/AVP 8\r\n"))
        a.recv()
        invite = b.recv()
        b.reply(invite, b"180 Ringing")
        a.recv()
        a.send(a.request(b"CANCEL", b"x1", b"802", 1))
        self.assertEqual([first_line(a.recv()), first_line(a.recv())],
                         [b"SIP/2.0 200 OK", b"SIP/2.0 487 RequestTerminated"])
        cancel = b.recv()
        self.assertEqual(first_line(cancel), b"CANCEL sip:802@127.0.0.1:" + sport + b" SIP/2.0")
        # The called party had answered before the CANCEL reached it.
        b.reply(invite, b"200 OK", b"v=0\r\nc=IN IP4 127.0.0.2\r\nm=audio 5000 RTP/AVP 0\r\n")
        ack, bye = b.recv(), b.recv()
        self.assertEqual(first_line(ack), b"ACK sip:802@127.0.0.1:" + sport + b" SIP/2.0")
        self.assertEqual(header(ack, b"To"), header(invite, b"To") + b";tag=q")
        self.assertRegex(bye, pattern(b"BYE sip:802@127.0.0.1:" + sport + b" SIP/2.0\r\nMax-Forwards: 70\r\nVia: {{[^\r]+}}\r\n" +
                                      header(invite, b"From") + b"\r\n" + header(invite, b"To") + b";tag=q\r\n" +
                                      header(invite, b"Call-ID") + b"\r\nCSeq: 2 BYE\r\n" + TAIL))
        b.reply(cancel, b"200 OK")
        b.reply(bye, b"200 OK")
        self.assertTrue(a.silent(0.5) and b.silent(0.1))

    def test_sigterm_ends_every_call_in_leg_order(self):
        # Both numbers on one phone, so the order in which the parties are told shows.
        self.b.close()
        self.b = self.a
        from call_parties import register
        self.assertEqual(first_line(register(self.sw, b"802", self.a.port, self.a.sock)), b"SIP/2.0 200 OK")
        self.talk_on_one_phone()
        rc, _ = self.sw.prog.stop(signal.SIGTERM)
        self.assertEqual(rc, 0)
        first, second = self.a.recv(), self.a.recv()
        self.assertEqual(first_line(first), b"BYE sip:801@127.0.0.1:%d SIP/2.0" % self.sw.port)   # leg 0
        self.assertEqual(first_line(second), b"BYE sip:802@127.0.0.1:%d SIP/2.0" % self.sw.port)  # leg 1

    def talk_on_one_phone(self):
        a = self.a
        a.send(a.request(b"INVITE", b"one", b"802", 1, b"v=0\r\nc=IN IP4 127.0.0.1\r\nm=audio 4000 RTP/AVP 8\r\n"))
        self.assertEqual(first_line(a.recv()), b"SIP/2.0 100 Trying")
        invite = a.recv()
        self.assertEqual(first_line(invite), b"INVITE sip:802@127.0.0.1:%d SIP/2.0" % self.sw.port)
        a.reply(invite, b"200 OK", b"v=0\r\nc=IN IP4 127.0.0.2\r\nm=audio 5000 RTP/AVP 0\r\n")
        got = sorted(first_line(a.recv()) for _ in range(2))
        self.assertEqual(got, [b"ACK sip:802@127.0.0.1:%d SIP/2.0" % self.sw.port, b"SIP/2.0 200 OK"])
        a.send(a.request(b"ACK", b"one", b"802", 1))
        self.assertTrue(a.silent(0.5))


if __name__ == "__main__":
    main()

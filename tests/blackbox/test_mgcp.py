"""The MGCP call agent against a test gateway: registration by RSIP and keep-alive, off-hook, digits,
CRCX with SDP, calls to a registered SIPp phone and from a SIP phone, answer with MDCX, release
from either side and by the gateway's DLCX, refusals, retransmission, and the endpoint table full.
The gateway writes LF lines; everything the switch writes ends its lines with CR LF."""
import sqlite3
import time
import unittest

from call_parties import Phone, Sipp, Switch, first_line, header, sdp_of
from harness import main
from mgcp_gateway import GATEWAY_SDP, Gateway, line, tid, verb

EP1 = b"aaln/1@gw1.example"   # 803
EP2 = b"aaln/2@gw1.example"   # 804
SDP_A = b"v=0\r\no=a 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio 4000 RTP/AVP 8\r\n"


def fixture_db(board):
    """The endpoints' numbers, as table softswitch holds them."""
    db = sqlite3.connect(board.path("mgcp.db"))
    db.execute("create table softswitch (username text, tel text, tel_type text, callswitch_tel text, "
               "busy_callswitch_tel text, offline_callswitch_tel text, no_answer_callswitch_tel text, "
               "restrict_call_in text, restrict_call_out text, level text, voice_mail text, status int)")
    for name, tel in ((EP1, "803"), (EP2, "804")):
        db.execute("insert into softswitch values (?, ?, '10', '', '', '', '', '0', '0', '0', '0', 0)",
                   (name.decode(), tel))
    db.commit()
    db.close()


def rqnt(t, x, *lines):
    return b"RQNT %s %s MGCP 1.0\r\nX:%s\r\n" % (t, EP1, x) + b"".join(l + b"\r\n" for l in lines)


class Agent(unittest.TestCase):
    def setUp(self):
        self.sw = Switch("db name = mgcp.db\nmgcp_pendtime=80\n", prepare=fixture_db)
        self.gw = Gateway(self.sw.mgcp_port)

    def tearDown(self):
        self.gw.close()
        self.assertEqual(self.sw.close(), 0)

    def register(self, endpoint=EP1):
        t = self.gw.rsip(endpoint)
        ok, wait = self.gw.expect(b"200", b"RQNT")
        self.assertEqual(ok, b"200 %s OK\r\n" % t)
        return wait

    def dial(self, number, endpoint=EP1):
        """Off-hook and digits; the switch's CRCX."""
        self.gw.ntfy(endpoint, b"L/hd")
        self.gw.expect(b"200", b"RQNT")
        self.gw.ntfy(endpoint, b"D/" + number)
        return self.gw.expect(b"200", b"CRCX")[1]

    def test_registration_and_keepalives(self):
        # The first commands after start-up: transaction id 2, request id 1.
        self.assertEqual(self.register(), rqnt(b"2", b"1", b"R:L/hd(N),D/[0-9#*T](D),L/oc(N)", b"D:(x.T|x.#)"))
        # A keep-alive of a known endpoint is answered and changes nothing.
        t = self.gw.ntfy(EP1, b"nat/ka")
        self.assertEqual(self.gw.expect(b"200"), b"200 %s OK\r\n" % t)
        self.assertTrue(self.gw.silent(0.5))
        # An unknown one registers by it.
        self.gw.ntfy(EP2, b"nat/ka")
        self.assertIn(b"RQNT 3 " + EP2, self.gw.expect(b"200", b"RQNT")[1])
        # The same command again is answered again and not carried out twice.
        self.gw.next_tid -= 1
        self.gw.ntfy(EP2, b"nat/ka")
        self.gw.expect(b"200")
        self.assertTrue(self.gw.silent(0.5))

    def test_endpoint_calls_a_sipp_phone(self):
        self.register()
        uas = Sipp(self.sw, "call_uas.xml", "802")
        crcx = self.dial(b"802")
        self.assertEqual(crcx, b"CRCX 4 %s MGCP 1.0\r\nC:1\r\nM:inactive\r\nL:a:PCMA,p:20,e:on,s:off\r\nX:3\r\n"
                               b"R:L/hu(N)\r\n" % EP1)
        self.gw.reply(crcx, body=GATEWAY_SDP)
        ringback = self.gw.expect(b"RQNT")
        self.assertEqual(ringback, b"RQNT 5 %s MGCP 1.0\r\nX:4\r\nR:L/hu(N),G/oc(N)\r\nS:G/rt\r\n" % EP1)
        mdcx = self.gw.expect(b"MDCX")
        self.assertEqual(mdcx, b"MDCX 6 %s MGCP 1.0\r\nC:1\r\nI: 3F2A\r\nM:sendrecv\r\nL:a:PCMA,p:20,e:on,s:off\r\n"
                               b"X:5\r\nR:L/hu(N)\r\n\r\nv=0\r\no=KelvanorVtn3000 1073741824 1073741824 IN IP4 127.0.0.1\r\n"
                               b"s=1\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio 7000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n"
                               b"\r\n" % EP1)
        self.gw.reply(mdcx)
        # On-hook ends the call toward the phone too.
        self.gw.ntfy(EP1, b"L/hu")
        dlcx = self.gw.expect(b"200", b"DLCX")[1]
        self.assertEqual(dlcx, b"DLCX 7 %s MGCP 1.0\r\nC:1\r\nI: 3F2A\r\nX:6\r\nR:L/hd(N)\r\n" % EP1)
        self.gw.reply(dlcx)
        rc, msgs = uas.result()
        self.assertEqual(rc, 0, msgs)
        invite = [m for kind, m in msgs if kind == b"received"][0]
        self.assertIn(b"From: 803 <sip:803@", invite)
        self.assertIn(b"c=IN IP4 127.0.0.9\r\nt=0 0\r\nm=audio 6000 RTP/AVP 8 0\r\n", invite)

    def test_sip_phone_calls_an_endpoint_and_either_side_releases(self):
        self.register()
        a = Phone(self.sw, b"801")
        for n, who in enumerate((b"phone", b"gateway")):
            with self.subTest(who):
                callid = b"in%d" % n
                a.send(a.request(b"INVITE", callid, b"803", 1, SDP_A))
                self.assertEqual(first_line(a.recv()), b"SIP/2.0 100 Trying")
                crcx = self.gw.expect(b"CRCX")
                self.assertIn(b"R:L/hd(N),L/oc(N)\r\nS: L/rg,L/ci(,500600700800,)\r\n", crcx)
                self.gw.reply(crcx, body=GATEWAY_SDP)
                ring = a.recv()
                self.assertEqual(first_line(ring), b"SIP/2.0 183 Session Progress")
                self.assertIn(b"c=IN IP4 127.0.0.9\r\nt=0 0\r\nm=audio 6000 RTP/AVP 8 0\r\n", ring)
                self.gw.ntfy(EP1, b"L/hd")
                mdcx = self.gw.expect(b"200", b"MDCX")[1]
                self.assertIn(b"c=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio 4000 RTP/AVP 8\r\n", mdcx)
                self.assertEqual(first_line(a.recv()), b"SIP/2.0 200 OK")
                self.gw.reply(mdcx)
                a.send(a.request(b"ACK", callid, b"803", 1))
                # The ACK and the gateway's next datagram come in on two sockets: the ACK is let
                # in first, so the call is surely up when the gateway ends it.
                time.sleep(0.3)
                if who == b"phone":
                    a.send(a.request(b"BYE", callid, b"803", 2))
                    self.assertEqual(first_line(a.recv()), b"SIP/2.0 200 OK")
                    dlcx = self.gw.expect(b"DLCX")
                    self.assertIn(b"R:L/hu(N),L/oc(N)\r\nS:L/bz\r\n", dlcx)
                    self.gw.reply(dlcx)
                else:
                    # The gateway deletes the connection: the phone gets its BYE.
                    # A connection the switch does not know is refused, not met with silence.
                    t = self.gw.command(b"DLCX", EP1, b"C: 77" + line(mdcx, b"C")[2:], b"E: 900 failure")
                    self.assertEqual(self.gw.expect(b"516"), b"516 %s\r\n" % t)
                    t = self.gw.command(b"DLCX", EP1, line(mdcx, b"C").replace(b"C:", b"C: "), b"E: 900 failure")
                    self.assertEqual(self.gw.expect(b"200"), b"200 %s OK\r\n" % t)
                    bye = a.recv()
                    self.assertEqual(first_line(bye), b"BYE sip:801@127.0.0.1:%d SIP/2.0" % self.sw.port)
                    a.send(a.answer(bye, b"200 OK"))
                self.gw.ntfy(EP1, b"L/hu")
                got = self.gw.expect(b"200", b"RQNT" if who == b"phone" else b"DLCX")
                if who == b"gateway":
                    self.gw.reply(got[1])
        a.close()

    def test_refusals(self):
        self.register()
        self.register(EP2)
        a = Phone(self.sw, b"801")
        # 803 off the hook is busy.
        self.gw.ntfy(EP1, b"L/hd")
        self.gw.expect(b"200", b"RQNT")
        a.send(a.request(b"INVITE", b"busy", b"803", 1, SDP_A))
        self.assertEqual(first_line(a.recv()), b"SIP/2.0 100 Trying")
        self.assertEqual(first_line(a.recv()), b"SIP/2.0 486 BusyHere")
        # Its own number: busy tone.
        self.gw.ntfy(EP1, b"D/803")
        self.assertIn(b"R:L/hu(N)\r\nS:L/bz\r\n", self.gw.expect(b"200", b"RQNT")[1])
        self.gw.ntfy(EP1, b"L/hu")
        self.gw.expect(b"200", b"RQNT")
        # A number nobody has: the connection is made, then released with busy tone.
        crcx = self.dial(b"899", EP2)
        self.gw.reply(crcx, body=GATEWAY_SDP)
        dlcx = self.gw.expect(b"DLCX")
        self.assertIn(b"S:L/bz\r\n", dlcx)
        self.gw.reply(dlcx)
        # An error answer to the CRCX: busy tone for the phone that is off the hook.
        crcx = self.dial(b"801", EP2)
        self.gw.reply(crcx, code=b"510")
        self.assertIn(b"S:L/bz", self.gw.expect(b"RQNT"))
        self.assertTrue(a.silent(0.3), "routing never saw the call")
        a.close()

    def test_commands_are_sent_again_at_about_2_6_and_14_seconds(self):
        self.register()
        a = Phone(self.sw, b"801")
        a.send(a.request(b"INVITE", b"re", b"803", 1, SDP_A))
        a.recv()
        first = self.gw.expect(b"CRCX")
        again = [self.gw.recv(4.0), self.gw.recv(6.0)]
        self.assertEqual(again, [first, first])
        # Given up: the caller is released, and the endpoint is asked for off-hook again.
        self.assertEqual(first_line(a.recv(12.0)), b"SIP/2.0 488 Not Acceptable Here")
        self.assertIn(b"R:L/hd(N)", self.gw.expect(b"RQNT"))
        a.close()

    def test_endpoint_table_capacity(self):
        for n in range(1000):
            self.gw.rsip(b"aaln/%d@big" % n)
            self.gw.expect(b"200", b"RQNT")
        t = self.gw.rsip(b"aaln/1000@big")
        self.assertEqual(self.gw.expect(b"400"), b"400 %s\r\n" % t)
        # A known name keeps its record.
        self.gw.rsip(b"aaln/999@big")
        self.gw.expect(b"200", b"RQNT")


if __name__ == "__main__":
    main()

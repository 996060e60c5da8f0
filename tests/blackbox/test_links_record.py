"""A record server named by the switch's database (table softrecord) on the record-server link:
the greeting, the keepalive with its retransmission and time-out, the recording of a SIPp call
with the record server's media address in its SDP, and the server's no-voice report."""
import re
import sqlite3
import time
import unittest

from call_parties import Phone, Sipp, Switch, first_line
from harness import main
from link_peers import UdpPeer

HOST = b"127.0.0.1"


def make_db(board, server_port, recorded=(b"871", b"873")):
    con = sqlite3.connect(board.path("rec.db"))
    con.execute("create table softswitch (tel text, status int, record_enable int)")
    con.executemany("insert into softswitch values (?, 0, 1)", [(t.decode(),) for t in recorded])
    con.execute("create table softrecord (record_id int, record_ip text, record_port int)")
    con.execute("insert into softrecord values (7, '127.0.0.1', ?)", (server_port,))
    con.commit()
    con.close()


class RecordLink(unittest.TestCase):
    def setUp(self):
        self.server = UdpPeer()
        self.sw = Switch.__new__(Switch)
        # The database goes on the board before the switch starts.
        import harness
        self.sw.board = harness.Board()
        self.sw.port = harness.free_port()
        self.sw.runs = 0
        make_db(self.sw.board, self.server.port)
        self.sw.board.write_settings("sip_server_local_host=127.0.0.1\nsip_server_inter_host=127.0.0.1\n"
                                     "sip_server_local_port=%d\nsip_debug=0\ndb name = rec.db\nrecord_port=%d\n"
                                     % (self.sw.port, harness.free_port()))
        self.sw.prog = harness.start_switch(self.sw.board)
        self.sw.banner = self.sw.prog.out

    def tearDown(self):
        self.server.close()
        self.assertEqual(self.sw.close(), 0)

    def answer(self, text):
        self.server.send(text, self.record_port())

    def record_port(self):
        return int(re.search(rb"Bind  Record  Server  Port = \[(\d+)\]", self.sw.banner).group(1))

    def greet(self):
        # The record servers are listed after the banner, once the link has read its table.
        listed = (b"*ip                              127.0.0.1 \n*port                            %d \n"
                  b"*record_id                       7 \n" % self.server.port)
        self.sw.prog.wait_out(listed)
        self.assertIn(listed, self.sw.prog.out)
        self.assertEqual(self.server.recv(10), b"REC_Init softswitch:127.0.0.1\r\n")
        self.answer(b"REC_OK softswitch:127.0.0.1\r\nCseq: 1 REC_Init\r\n")
        first = self.server.recv(25)
        self.assertEqual(first, b"REC_Connect softswitch:127.0.0.1\r\nCseq: 1 REC_Connect\r\n")
        self.answer(b"REC_OK softswitch:127.0.0.1\r\nCseq: 1 REC_Connect\r\nCall_Num: 3\r\nBegin_Port: 40000\r\n")

    def test_recorded_sipp_call_and_keepalive_time_out(self):
        self.greet()
        keys = [("calling", "871"), ("called", "872")]
        uas = Sipp(self.sw, "call_uas.xml", "872", keys)
        uac = Sipp(self.sw, "call_uac.xml", "871", keys)
        uac_rc, uac_msgs = uac.result()
        uas_rc, uas_msgs = uas.result()
        self.assertEqual((uac_rc, uas_rc), (0, 0))
        invite = [m for kind, m in uas_msgs if kind == b"received"][0]
        ok = [m for kind, m in uac_msgs if kind == b"received" and m.startswith(b"SIP/2.0 200")][0]
        # Both parties send their voice to the record server, at the port of the other's channel.
        self.assertIn(b"c=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio 40000 ", invite)
        self.assertIn(b"c=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio 40004 ", ok)
        opened = self.server.recv(10)
        self.assertRegex(opened, re.compile(
            rb"REC_Open softswitch:127\.0\.0\.1\r\nFrom: 871\r\nTo: 872\r\n"
            rb"Sever1: 127\.0\.0\.1<40000:6000>\r\nSever2: 127\.0\.0\.1<40004:7000>\r\n"
            rb"Call_id: \d{14}0\r\nCseq: 1 REC_Open\r\n\Z"))
        callid = re.search(rb"Call_id: (\d+)", opened).group(1)
        self.assertEqual(self.server.recv(10), b"REC_Close softswitch:127.0.0.1\r\nCall_id: %s\r\n"
                                              b"Cseq: 1 REC_Close\r\n" % callid)
        # The server stops answering: REC_Connect is resent 2 and 6 s after it first went out,
        # and the server is down 14 s after it.
        # The intervals are taken from the datagrams' arrival, not from when this test read them.
        connect = b"REC_Connect softswitch:127.0.0.1\r\nCseq: 2 REC_Connect\r\n"
        sent = [self.server.recv_stamped(25), self.server.recv_stamped(10), self.server.recv_stamped(10)]
        self.assertEqual([data for data, _ in sent], [connect] * 3)
        self.assertAlmostEqual(sent[2][1] - sent[0][1], 6, delta=1.5)
        self.assertIsNone(self.server.recv(max(1.0, 24 - (time.time() - sent[0][1]))),
                          "a server marked down is not greeted")

    def test_no_voice_report_releases_the_call(self):
        self.greet()
        a, b = Phone(self.sw, b"873"), Phone(self.sw, b"874")
        self.addCleanup(a.close)
        self.addCleanup(b.close)
        a.send(a.request(b"INVITE", b"rec1", b"874", 1, b"v=0\r\nc=IN IP4 127.0.0.1\r\nm=audio 4000 RTP/AVP 8\r\n"))
        self.assertEqual(first_line(a.recv()), b"SIP/2.0 100 Trying")
        invite = b.recv()
        b.reply(invite, b"200 OK", b"v=0\r\nc=IN IP4 127.0.0.2\r\nm=audio 5000 RTP/AVP 0\r\n")
        b.recv()
        a.recv()
        a.send(a.request(b"ACK", b"rec1", b"874", 1))
        opened = self.server.recv(10)
        callid = re.search(rb"Call_id: (\d+)", opened).group(1)
        # Another call's id, or a report naming no server, changes nothing.
        self.answer(b"REC_Novoc softswitch:127.0.0.1\r\nCall_id: 1\r\nCseq: 1 REC_Novoc\r\n")
        self.answer(b"REC_Novoc softswitch:\r\nCall_id: %s\r\nCseq: 1 REC_Novoc\r\n" % callid)
        self.assertTrue(a.silent(1.0) and b.silent(0.1))
        self.answer(b"REC_Novoc softswitch:127.0.0.1\r\nCall_id: %s\r\nCseq: 1 REC_Novoc\r\n" % callid)
        self.assertEqual(first_line(a.recv()), b"BYE sip:873@127.0.0.1:%d SIP/2.0" % self.sw.port)
        self.assertEqual(first_line(b.recv()), b"BYE sip:874@127.0.0.1:%d SIP/2.0" % self.sw.port)
        # One REC_Close, with the call's id; none with an empty one.
        self.assertEqual([self.server.recv(10)] + self.server.recv_all(1.0), [b"REC_Close softswitch:127.0.0.1\r\nCall_id: %s\r\n"
                                                     b"Cseq: 1 REC_Close\r\n" % callid])


if __name__ == "__main__":
    main()

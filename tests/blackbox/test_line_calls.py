"""The gateway's lines take and place calls through this project's sipswitch on the same board:
a phone registered with the switch calls a line, the line answers at once (180 and 200), voice
flows both ways between the phone's media socket and the line's DSP channel, and the call ends
from either side through the busy tone. The phones are plain UDP parties (call_parties.Phone)
that say exactly what a row wants, a SIPp phone, a SIPp caller on a softswitch address that
reaches the gateway directly, and a linphone phone; the lines' state is read in the shared
memory, the DSP channels' on the simulated board."""
import os
import shutil
import socket
import struct
import subprocess
import time
import types
import unittest

import phones
import simboard
from call_parties import SIPP_DIR, Phone, Sipp, first_line, header
from gate import DB, FLOW_LOG, LineWatch, gate_board, log, make_qvd_db, switch_asks_line_passwords, wait_log
from harness import PORT_ARG, free_port, gbk, main, run_sipp, sipp_messages, start_gate, start_switch, wait_for
from simboard import SimBoard
from sipp_server import SippServer
from webcfg import Segment

BOARD_IP = "10.77.0.5"
GATE_SIP_PORT = 5062
LINE_RTP_PORT = {0: 20000, 1: 20002}
DSP_CHN = {0: 1, 1: 2}  # 2W board, CPLD 12: the DSP channel is the line + 1
IDLE, RINGING, TALKING, ON_HOOK, RING_BACK = 0, 2, 3, 4, 8
DECODER = {0: 2, 8: 3}  # the simulated DSP's coder numbers: mu-law 2, A-law 3
KEY_AND_TIME = {"T_BUSY_TONE": 1, "T_NO_RTP": 4, "T_RING_BACK_VALU": 1, "T_RING_BACK_INVALU": 1, "T_NO_ANSWER": 4}


def sdp(port, pts, extra=b""):
    return (b"v=0\r\no=phone 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
            b"m=audio %d RTP/AVP %s\r\n" % (port, pts) + extra)


def body(message):
    return message.split(b"\r\n\r\n", 1)[1] if message else b""


def loud(pt, seq, ts):
    """An RTP packet of 20 ms of loud G.711 (alternating extremes), far above any voice threshold."""
    sample = b"\xaa\x2a" if pt == 8 else b"\x80\x00"
    return struct.pack("!BBHII", 0x80, pt, seq, ts, 0x1234) + sample * 80


class Board(LineWatch, unittest.TestCase):
    """Both lines registered with sipswitch on the board, a phone 9001 registered there too."""
    users = None
    ini = None
    key_and_time = KEY_AND_TIME
    # What each line's registration comes to (1: registered).
    register_results = {0: 1, 1: 1}
    with_phone = True

    def prepare(self):
        """Lays out the board's files before the programs start."""

    def setUp(self):
        self.board = gate_board()
        cors = [dict(make_qvd_db.user_cor_row(line), NET_COR_TYPE=0) for line in range(len(self.users or (0, 1)))]
        make_qvd_db.make_db(self.board.path(DB), ini=self.ini, key_and_time=self.key_and_time, users=self.users,
                            user_cors=cors)
        self.prepare()
        self.sw = start_switch(self.board)
        self.gate = start_gate(self.board)
        self.assertTrue(self.gate.wait_ready(), self.gate.out[-2000:])
        self.seg = Segment()
        self.sim = SimBoard(self.board)
        self.assertTrue(self.sim.wait_ready())
        for line, result in self.register_results.items():
            self.assertTrue(self.wait_line(line, register_result=result), self.gate.out[-3000:])
        # The parties of call_parties talk to the switch through this.
        self.switch = types.SimpleNamespace(board=self.board, port=5060, runs=0)
        self.phone = Phone(self.switch, b"9001") if self.with_phone else None
        self.media = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.media.bind(("127.0.0.1", 0))
        self.media_port = self.media.getsockname()[1]

    def tearDown(self):
        self.media.close()
        if self.phone is not None:
            self.phone.close()
        self.sim.close()
        self.seg.remove()
        self.assertEqual(self.gate.stop()[0], 0)
        self.sw.stop()
        self.board.close()

    def chan(self, line):
        """The line's DSP channel on the simulated board, its fields by name."""
        fields = {}
        for word in self.sim.send("chan %d" % DSP_CHN[line]).split():
            name, eq, value = word.partition("=")
            if eq:
                fields[name] = int(value) if value.lstrip("-").isdigit() else value
        return fields

    def recv_sip(self, want, timeout=5.0, callid=None):
        """The next message to the phone whose first line starts with want (of the call callid,
        when given); others are skipped."""
        while True:
            m = self.phone.recv(timeout=timeout)
            if m is None or (first_line(m).startswith(want) and
                             (callid is None or header(m, b"Call-ID") == b"Call-ID: " + callid)):
                return m

    def invite(self, to, callid, offer, cseq=1):
        self.phone.send(self.phone.request(b"INVITE", callid, to, cseq, offer))

    def ack(self, callid, to, cseq=1, offer=b""):
        self.phone.send(self.phone.request(b"ACK", callid, to, cseq, offer))

    def drain_media(self):
        self.media.settimeout(0)
        try:
            while self.media.recv(2048):
                pass
        except OSError:
            pass

    def phone_voice_reaches_line(self, line, pt=8):
        """Loud RTP from the phone's media socket reaches the line's DSP channel, played by the
        decoder of the negotiated codec (pt)."""
        rx = self.chan(line)["rx"]
        seq = [100]

        def heard():
            seq[0] += 1
            self.media.sendto(loud(pt, seq[0], seq[0] * 160), (BOARD_IP, LINE_RTP_PORT[line]))
            c = self.chan(line)
            return c["rx"] >= rx + 10 and c["peak"] > 10000
        self.assertTrue(wait_for(heard, timeout=10), self.chan(line))
        chan = self.chan(line)
        self.assertEqual((chan["rx_pt"], chan["decoder"], chan["wrong_pt"]), (pt, DECODER[pt], 0), chan)

    def line_voice_reaches_phone(self, line, pt=8):
        """The radio's voice (the board's test tone) reaches the phone's media socket in the
        line's own RTP numbering: payload type pt, 20 ms a packet, sequence numbers one apart,
        timestamps 160 apart counted from the channel's first packet, and one SSRC of the
        gateway's drawing, not the DSP's own (the DSP numbers its channels' sources from 1)."""
        self.drain_media()
        self.media.settimeout(5)
        self.sim.send("chan %d source tone" % DSP_CHN[line])
        got = []
        try:
            while len(got) < 5:
                p = self.media.recv(2048)
                # Silence sent before the tone started is skipped; the tone's samples vary.
                if got or len(set(p[12:])) > 4:
                    got.append(p)
        finally:
            self.sim.send("chan %d source silence" % DSP_CHN[line])
        for p in got:
            self.assertEqual((p[0], p[1] & 0x7F, len(p)), (0x80, pt, 12 + 160), p[:12])
        seqs = [struct.unpack("!H", p[2:4])[0] for p in got]
        self.assertEqual(seqs, [(seqs[0] + i) & 0xFFFF for i in range(5)])
        for p in got:
            seq, ts = struct.unpack("!HI", p[2:8])
            self.assertEqual(ts, seq * 160, p[:12])
        self.assertEqual(len({p[8:12] for p in got}), 1)
        self.assertGreater(struct.unpack("!I", got[0][8:12])[0], 0xFF, got[0][:12])
        self.drain_media()

    def talking_call(self, callid, line=0, pts=b"8 0"):
        """A call of the phone answered by the line. A line refuses calls for a second after its
        last one, so a refused INVITE is sent again (as a new call) until one is answered."""
        to = b"%d" % (8001 + line)
        tries = [0]
        answer = [None]

        def answered():
            tries[0] += 1
            cid = callid + b"-%d" % tries[0]
            self.invite(to, cid, sdp(self.media_port, pts))
            m = self.recv_sip(b"SIP/2.0 ", callid=cid)
            while m is not None and first_line(m).startswith(b"SIP/2.0 1"):
                m = self.recv_sip(b"SIP/2.0 ", callid=cid)
            answer[0] = (cid, m)
            return m is not None and first_line(m).startswith(b"SIP/2.0 200")
        self.assertTrue(wait_for(answered, timeout=10, step=0.2), answer[0])
        callid, ok = answer[0]
        self.ack(callid, to)
        self.assertTrue(self.wait_line(line, status_line=TALKING), self.line(line))
        return callid


class LineCalls(Board):
    def test_a_call_talks_both_ways_and_ends_from_either_side(self):
        for ender, line in (("phone", 0), ("line", 1)):
            with self.subTest(ender=ender):
                callid = b"talk-" + ender.encode()
                tel = b"%d" % (8001 + line)
                self.invite(tel, callid, sdp(self.media_port, b"8 0"))
                ringing = self.recv_sip(b"SIP/2.0 180")
                self.assertIsNotNone(ringing)
                ok = self.recv_sip(b"SIP/2.0 200")
                self.assertIsNotNone(ok)
                # The line's own media address (the switch passes it on in its own SDP).
                self.assertIn(b"c=IN IP4 %s\r\n" % BOARD_IP.encode(), body(ok))
                self.assertIn(b"m=audio %d RTP/AVP 8" % LINE_RTP_PORT[line], body(ok))
                self.ack(callid, tel)
                self.assertTrue(self.wait_line(line, status_line=TALKING, caller_id=b"9001", code_type=b"G711A",
                                               remote_port=self.media_port, local_port=LINE_RTP_PORT[line]),
                                self.line(line))
                self.assertEqual(self.line(line)["local_ip"], BOARD_IP.encode())
                chan = self.chan(line)
                self.assertEqual((chan["rtp"], chan["pt"]), (1, 8), chan)

                self.phone_voice_reaches_line(line)
                self.line_voice_reaches_phone(line)

                if ender == "phone":
                    self.phone.send(self.phone.request(b"BYE", callid, tel, 2))
                    self.assertIsNotNone(self.recv_sip(b"SIP/2.0 200"))
                else:
                    # The phone falls silent: after T_NO_RTP the line ends the call.
                    bye = self.recv_sip(b"BYE", timeout=10)
                    self.assertIsNotNone(bye)
                    self.phone.reply(bye, b"200 OK")
                self.assertTrue(self.wait_line(line, status_line=ON_HOOK), self.line(line))
                self.assertTrue(self.line_freed(line), (self.line(line), self.chan(line)))
                # The busy tone (IBS signal 10) played with PTT keyed, then stopped and released.
                tones = [(kind, f.get("sig")) for _, kind, f in self.sim.tones() if f["ch"] == DSP_CHN[line]]
                self.assertEqual(tones[-2:], [("dsp_tone", 10), ("dsp_tone_stop", None)], tones)
                self.assertEqual(self.sim.ptt(), 0)


class SippPhoneCall(Board):
    """A SIPp phone (9002) registered with the board's sipswitch calls a line, offering PCMA and
    PCMU on the test's media socket, and talks until the line hangs up (its radio keys the
    hang-up key) or the test tells it to hang up. T_NO_RTP is long, so only those end the call."""
    key_and_time = dict(KEY_AND_TIME, T_NO_RTP=60)

    def setUp(self):
        if shutil.which("sipp") is None:
            raise unittest.SkipTest("SIPp (sip-tester) is not installed")
        super().setUp()

    def test_a_sipp_phone_talks_with_a_line_and_either_hangs_up(self):
        for ender, line in (("phone", 1), ("line", 0)):
            with self.subTest(ender=ender):
                tel = "%d" % (8001 + line)
                sipp = Sipp(self.switch, "call_uac_talk.xml", "9002",
                            keys=(("calling", "9002"), ("called", tel), ("rtp_port", str(self.media_port))))
                self.addCleanup(lambda p=sipp.proc: p.poll() is None and p.kill())
                self.assertTrue(self.wait_line(line, status_line=TALKING, caller_id=b"9002", code_type=b"G711A",
                                               remote_ip=b"127.0.0.1", remote_port=self.media_port,
                                               local_ip=BOARD_IP.encode(), local_port=LINE_RTP_PORT[line]),
                                self.line(line))
                # What the phone got: 180, then the 200 with the line's own media address and PCMA.
                invite = []
                self.assertTrue(wait_for(lambda: invite.extend(sipp_sent(sipp, b"INVITE ")) or invite),
                                sipp_messages(sipp.trace))
                ok = [m for kind, m in sipp_messages(sipp.trace)
                      if kind == b"received" and first_line(m) == b"SIP/2.0 200 OK"]
                self.assertEqual(len(ok), 1, [first_line(m) for _, m in sipp_messages(sipp.trace)])
                self.assertIn(b"c=IN IP4 %s\r\n" % BOARD_IP.encode(), body(ok[0]))
                self.assertIn(b"\r\nm=audio %d RTP/AVP 8" % LINE_RTP_PORT[line], body(ok[0]))
                chan = self.chan(line)
                self.assertEqual((chan["rtp"], chan["pt"]), (1, 8), chan)

                self.phone_voice_reaches_line(line)
                self.line_voice_reaches_phone(line)

                tones = len(self.sim.tones())
                if ender == "phone":
                    # Any request of the call but a BYE tells the SIPp phone to send its BYE.
                    cue = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                    self.addCleanup(cue.close)
                    cue.sendto(b"INFO sip:9002@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:9;branch=z9hG4bKcue\r\n"
                               b"From: <sip:%s@127.0.0.1>;tag=cue\r\nTo: <sip:9002@127.0.0.1>\r\n"
                               b"%s\r\nCSeq: 9 INFO\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n"
                               % (tel.encode(), header(invite[0], b"Call-ID")), ("127.0.0.1", sipp.port))
                else:
                    self.sim.digits(DSP_CHN[line], "##")
                rc, messages = sipp.result()
                self.assertEqual(rc, 0, [first_line(m) for _, m in messages])
                received = [first_line(m) for kind, m in messages if kind == b"received"]
                self.assertIn(b"SIP/2.0 180 Ringing", received)
                # The BYE went the way the row says, and only that way.
                self.assertEqual({kind for kind, m in messages if m.startswith(b"BYE ")},
                                 {b"sent" if ender == "phone" else b"received"}, received)
                # The busy tone (IBS signal 10), then idle with every channel free.
                self.assertTrue(self.line_freed(line), (self.line(line), self.chan(line)))
                ends = [(kind, f.get("sig")) for _, kind, f in self.sim.tones()[tones:] if f["ch"] == DSP_CHN[line]]
                self.assertEqual(ends[-2:], [("dsp_tone", 10), ("dsp_tone_stop", None)], ends)
                self.assertEqual(self.sim.ptt(), 0)


def sipp_sent(sipp, start):
    """What the SIPp phone has sent so far that starts with start."""
    return [m for kind, m in sipp_messages(sipp.trace) if kind == b"sent" and m.startswith(start)]


class Refusals(Board):
    key_and_time = dict(KEY_AND_TIME, T_NO_RTP=60)

    def test_refusals(self):
        stranger = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        stranger.bind(("127.0.0.1", 0))
        self.addCleanup(stranger.close)
        port = stranger.getsockname()[1]

        # Not from the softswitch: refused, the radio never keyed.
        stranger.sendto(b"INVITE sip:8001@%s:%d SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:%d;branch=z9hG4bKs1\r\n"
                        b"Max-Forwards: 70\r\nFrom: <sip:6666@127.0.0.1>;tag=s\r\nTo: <sip:8001@%s>\r\n"
                        b"Call-ID: stranger1\r\nCSeq: 1 INVITE\r\nContact: <sip:6666@127.0.0.1:%d>\r\n"
                        b"Content-Type: application/sdp\r\nContent-Length: %d\r\n\r\n%s"
                        % (BOARD_IP.encode(), GATE_SIP_PORT, port, BOARD_IP.encode(), port,
                           len(sdp(self.media_port, b"8")), sdp(self.media_port, b"8")),
                        (BOARD_IP, GATE_SIP_PORT))
        stranger.settimeout(5)
        answer = stranger.recv(4096)
        while first_line(answer).startswith(b"SIP/2.0 1"):
            answer = stranger.recv(4096)
        self.assertEqual(first_line(answer), b"SIP/2.0 403 Forbidden")
        self.assertEqual(self.line(0)["status_line"], IDLE)

        # A second INVITE within a second of the last one taken: 480; later the busy line: 486.
        first = self.talking_call(b"first")
        # (The switch passes a called party's refusal on as 488, unless the party was busy.)
        self.invite(b"8001", b"second0", sdp(self.media_port, b"8"))
        self.assertEqual(first_line(self.recv_sip(b"SIP/2.0 4")), b"SIP/2.0 488 Not Acceptable Here")
        self.assertIn(b"Reason[480]", log(self.board, FLOW_LOG))
        tries = [0]

        def busy():
            # Each INVITE past the guard takes it anew, so the busy line answers 480 and 486 in turn.
            tries[0] += 1
            self.invite(b"8001", b"second%d" % tries[0], sdp(self.media_port, b"8"))
            answer = self.recv_sip(b"SIP/2.0 4")
            while answer is not None and not first_line(answer).startswith(b"SIP/2.0 486 "):
                seen.append(first_line(answer))
                answer = self.recv_sip(b"SIP/2.0 4", timeout=0.3)
            return answer is not None
        seen = []
        self.assertTrue(wait_for(busy, timeout=10, step=0.2), seen)

        # A re-INVITE the line cannot take (the switch passes the codecs on as it sees fit, but
        # not a media port): the line answers the switch 488, and the call goes on.
        self.phone.send(self.phone.request(b"INVITE", first, b"8001", 2, sdp(0, b"8")))
        self.assertTrue(wait_log(self.gate, b"Reason[488]"))
        self.assertEqual(self.line(0)["status_line"], TALKING)
        self.assertEqual(self.chan(0)["rtp"], 1)
        self.phone.send(self.phone.request(b"BYE", first, b"8001", 3))
        self.assertIsNotNone(self.recv_sip(b"SIP/2.0 200"))

        # No offer and no answer in the ACK: the line ends the call with a BYE.
        self.invite(b"8002", b"nooffer", b"")
        ok = self.recv_sip(b"SIP/2.0 200", callid=b"nooffer")
        self.assertIn(b"m=audio %d RTP/AVP 8" % LINE_RTP_PORT[1], body(ok))
        self.ack(b"nooffer", b"8002")
        bye = self.recv_sip(b"BYE", callid=b"nooffer")
        self.assertIsNotNone(bye)
        self.phone.reply(bye, b"200 OK")
        self.assertTrue(self.line_freed(0))
        self.assertTrue(self.line_freed(1))


class DirectRefusals(Board):
    """A SIPp caller on a softswitch address of the line's configuration (127.0.0.1, backup 1)
    calls the gateway directly, so its answers arrive as the line gives them (sipswitch would
    rewrite the offer's codecs and pass a refusal on as 488). The board's sipswitch asks for
    passwords, and line 1's is wrong: that line stays unregistered."""
    register_results = {0: 1, 1: 2}
    with_phone = False

    def setUp(self):
        self.sipp_port = free_port()
        self.ini = {"IP_SWITCH_1": "127.0.0.1", "PORT_SWITCH_1": self.sipp_port}
        self.users = [make_qvd_db.user_row(0), dict(make_qvd_db.user_row(1), REG_PWD="wrong")]
        super().setUp()

    def prepare(self):
        switch_asks_line_passwords(self.board)

    def call(self, n, called, pts):
        """SIPp's call to called offering the payload types pts, expecting 480: its exit status
        and the messages it received."""
        with open(os.path.join(SIPP_DIR, "call_uac_refused.xml")) as f:
            text = f.read().replace("CODE", "480").replace("RTP/AVP 8", "RTP/AVP " + pts)
        scenario = self.board.path("var/direct%d.xml" % n)
        trace = self.board.path("var/direct%d.log" % n)
        with open(scenario, "w") as f:
            f.write(text)
        r = run_sipp(["sipp", "%s:%d" % (BOARD_IP, GATE_SIP_PORT), "-sf", scenario, "-m", "1", "-i", "127.0.0.1",
                      "-p", PORT_ARG, "-nr", "-nostdin", "-trace_msg", "-message_file", trace, "-timeout", "20s",
                      "-timeout_error", "-key", "calling", "9001", "-key", "called", called],
                     port=self.sipp_port, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                     cwd=self.board.path("var"), timeout=40)
        return r.returncode, [first_line(m) for kind, m in sipp_messages(trace) if kind == b"received"]

    def test_refusals_the_line_itself_answers(self):
        cases = [  # (what, number called, payload types offered, log text of the refusal)
            ("unknown number", "8009", "8", b"[UserOnNewCall]-- " + gbk("不能根据被叫号码[8009]找到pUser")),
            ("unregistered line", "8002", "8 0", b"[JudgeUserIsForbidden]-- " + gbk("该用户UserTel[8002]")),
            ("no common codec", "8001", "18 3", gbk("没有匹配到可用语音编码方式")),
        ]
        for n, (what, called, pts, entry) in enumerate(cases):
            with self.subTest(what):
                since = len(log(self.board, FLOW_LOG))
                rc, received = self.call(n, called, pts)
                self.assertEqual(rc, 0, received)
                self.assertEqual([m for m in received if not m.startswith(b"SIP/2.0 1")],
                                 [b"SIP/2.0 480 Temporarily Unavailable"])
                self.assertNotIn(b"SIP/2.0 180 Ringing", received)
                self.assertTrue(wait_for(lambda: entry in log(self.board, FLOW_LOG)[since:]), log(self.board)[-3000:])
                for line in (0, 1):
                    self.assertTrue(self.line_freed(line), (self.line(line), self.chan(line)))
        self.assertEqual(self.sim.ptt(), 0)


class Recalls:
    """Line 0 calls the phone again after the phone's BYE (REDIAL_BYE 1): its calls show the
    progress of a call the line places."""

    def recall(self, callid):
        callid = self.talking_call(callid)
        self.phone.send(self.phone.request(b"BYE", callid, b"8001", 2))
        self.assertIsNotNone(self.recv_sip(b"SIP/2.0 200"))
        invite = self.recv_sip(b"INVITE", timeout=10)
        self.assertIsNotNone(invite)
        self.sim.outputs()
        self.assertIn(b"sip:9001@", first_line(invite))
        return invite

    def ptt(self):
        """The line 0 PTT changes since the last look, as (ms, value)."""
        return [(ms, int(text.split("=")[1])) for ms, text in self.sim.outputs() if text.startswith("ptt1 value=")]


class RecallByBye(Recalls, Board):
    users = [dict(make_qvd_db.user_row(0), REDIAL_BYE=1, REDIAL_INTERVAL=1), make_qvd_db.user_row(1)]

    def test_outgoing_call_progress(self):
        # Busy far end: the busy tone, then idle; the failure ends the BYE re-call.
        invite = self.recall(b"busy")
        self.phone.reply(invite, b"486 Busy Here")
        self.assertTrue(self.wait_line(0, status_line=ON_HOOK))
        self.assertTrue(self.line_freed(0))
        self.assertIsNone(self.recv_sip(b"INVITE", timeout=3))

        # Ring-back: PTT keyed 1 s, released 1 s, ... until T_NO_ANSWER (4 s) cancels.
        invite = self.recall(b"rb")
        self.phone.reply(invite, b"180 Ringing")
        self.assertTrue(self.wait_line(0, status_line=RING_BACK))
        cancel = self.recv_sip(b"CANCEL", timeout=10)
        self.assertIsNotNone(cancel)
        self.phone.reply(cancel, b"200 OK")
        self.phone.reply(invite, b"487 Request Terminated")
        changes = self.ptt()
        self.assertEqual([v for _, v in changes][:4], [1, 0, 1, 0], changes)
        # The ring-back is the dial tone (IBS signal 9) throughout both PTT phases.
        rings = [f["sig"] for _, kind, f in self.sim.tones() if kind == "dsp_tone" and f["ch"] == DSP_CHN[0]]
        self.assertIn(9, rings)
        for a, b in zip(changes[:3], changes[1:4]):
            self.assertTrue(900 <= b[0] - a[0] <= 1200, changes)
        # A cancelled call leaves the BYE re-call pending: the line calls once more.
        again = self.recv_sip(b"INVITE", timeout=10)
        self.assertIsNotNone(again)
        self.phone.reply(again, b"486 Busy Here")
        self.assertTrue(self.line_freed(0), self.line(0))

        # Answered: talking, with the phone's media.
        invite = self.recall(b"answered")
        self.phone.reply(invite, b"200 OK", sdp(self.media_port, b"8"))
        self.assertIsNotNone(self.recv_sip(b"ACK"))
        self.assertTrue(self.wait_line(0, status_line=TALKING, remote_port=self.media_port, code_type=b"G711A"))


class RecallsAfterFailures(Recalls, Board):
    """As RecallByBye, with REDIAL_4XX 2 and T_NO_ANSWER long enough for the early media's
    first burst."""
    users = [dict(make_qvd_db.user_row(0), REDIAL_BYE=1, REDIAL_4XX=2, REDIAL_INTERVAL=1), make_qvd_db.user_row(1)]
    key_and_time = dict(KEY_AND_TIME, T_NO_ANSWER=20, T_NO_RTP=60)

    def test_early_media_bursts_then_busy_far_end_recalled_at_most_twice(self):
        # 183 with SDP: the line opens its media and keys PTT at once, so the radio hears the
        # far end's early media: 7 s the first time, then T_RING_BACK_INVALU (1 s) free and
        # T_RING_BACK_VALU (1 s) keyed in turn.
        invite = self.recall(b"early")
        mark = len(self.sim.seen)
        self.phone.reply(invite, b"183 Session Progress", sdp(self.media_port, b"8"))
        self.assertTrue(self.wait_line(0, status_line=RINGING), self.line(0))
        self.assertEqual(self.chan(0)["rtp"], 1)
        rx = self.chan(0)["rx"]
        seq = [0]

        def heard():
            seq[0] += 1
            self.media.sendto(loud(8, seq[0], seq[0] * 160), (BOARD_IP, LINE_RTP_PORT[0]))
            return self.chan(0)["rx"] >= rx + 10
        self.assertTrue(wait_for(heard, timeout=5), self.chan(0))
        # The far end's voice reached the line while its PTT was keyed.
        self.assertIn({"ch": DSP_CHN[0], "on": 1, "ptt": 1}, [f for _, f in self.sim.entries("dsp_voice")])
        changes = []
        released = {}  # the media's state read while PTT was released, by the number of changes

        def phases():
            self.sim.outputs()
            changes[:] = [(ms, int(text.split("=")[1])) for ms, text in self.sim.seen[mark:]
                          if text.startswith("ptt1 value=")]
            if changes and changes[-1][1] == 0:
                # The line opens its media just before it keys PTT again, so a read at the
                # very end of a pause may find it open: a pause counts as closed when any
                # read inside it does.
                released.setdefault(len(changes), []).append(self.chan(0)["rtp"])
            return len(changes) >= 4
        self.assertTrue(wait_for(phases, timeout=15, step=0.05), changes)
        self.assertEqual([v for _, v in changes[:4]], [1, 0, 1, 0], changes)
        self.assertTrue(released, changes)
        for reads in released.values():
            self.assertIn(0, reads, released)  # the media close with each burst
        gaps = [b[0] - a[0] for a, b in zip(changes[:3], changes[1:4])]
        self.assertTrue(6900 <= gaps[0] <= 7300, gaps)
        for gap in gaps[1:]:
            self.assertTrue(900 <= gap <= 1200, gaps)
        self.assertEqual(self.line(0)["status_line"], RINGING)

        # The far end is busy: the busy tone, then two re-calls (REDIAL_4XX 2), each refused
        # again with its busy tone, and no third.
        for n in range(3):
            with self.subTest(refusal=n):
                mark = len(self.sim.seen)
                self.phone.reply(invite, b"486 Busy Here")
                self.assertTrue(self.wait_line(0, status_line=ON_HOOK), self.line(0))
                self.sim.outputs()
                tones = [simboard.fields(text).get("sig") for _, text in self.sim.seen[mark:]
                         if text.startswith("dsp_tone ch=%d " % DSP_CHN[0])]
                self.assertIn(10, tones)
                if n < 2:
                    invite = self.new_invite(invite)
                    self.assertIsNotNone(invite)
                    self.assertIn(b"sip:9001@", first_line(invite))
        self.assertTrue(self.line_freed(0), self.line(0))
        self.assertIsNone(self.new_invite(invite, timeout=5))
        self.assertEqual(self.sim.ptt(), 0)

    def new_invite(self, last, timeout=10.0):
        """The next INVITE of another call than last (the switch repeats an INVITE until the
        phone's answer reaches it)."""
        end = time.time() + timeout
        while time.time() < end:
            m = self.recv_sip(b"INVITE", timeout=max(0.01, end - time.time()))
            if m is not None and header(m, b"Call-ID") != header(last, b"Call-ID"):
                return m
        return None


class LinphoneCall(Board):
    """A linphone phone (8003, on a user id of its own) registered with the board's sipswitch
    calls line 1; the test skips itself where linphone-cli cannot run."""

    def setUp(self):
        why = phones.available()
        if why:
            raise unittest.SkipTest(why)
        phones.give_network()
        super().setUp()
        self.linphone = phones.Linphone(self.switch, "8003")
        self.addCleanup(self.linphone.close)
        self.assertTrue(wait_for(self.linphone.registered, timeout=15, step=0.2))

    def test_linphone_calls_a_line_and_either_hangs_up(self):
        # Without a sound card the phone sends no voice: it plays a tone from a file instead.
        self.linphone.generic("soundcard use files")
        for ender, line in (("phone", 1), ("line", 0)):
            with self.subTest(ender=ender):
                self.linphone.sh("dial", "sip:%d@127.0.0.1:%d" % (8001 + line, self.switch.port))
                self.assertTrue(self.linphone.wait_state("StreamsRunning", timeout=15), self.linphone.calls())
                self.linphone.generic("play " + self.linphone.tone_file())
                self.assertTrue(self.wait_line(line, status_line=TALKING, caller_id=b"8003"), self.line(line))
                pt = {b"G711A": 8, b"G711U": 0}[self.line(line)["code_type"]]
                chan = self.chan(line)
                self.assertEqual((chan["rtp"], chan["pt"]), (1, pt), chan)
                # The phone's voice reaches the line's DSP channel, decoded with the negotiated
                # codec. (The phone also sends STUN requests to the line's media port; the DSP
                # counts them as packets of a wrong payload type and drops them.)
                rx = chan["rx"]
                self.assertTrue(wait_for(lambda: self.chan(line)["rx"] >= rx + 100, timeout=10), self.chan(line))
                chan = self.chan(line)
                self.assertEqual((chan["rx_pt"], chan["refused"]), (pt, 0), chan)
                self.assertGreater(chan["peak"], 10000, chan)
                # The line's voice goes out to the phone, a packet every 20 ms: the packets the
                # DSP channel handed the line for the phone over a window of at least 150.
                self.sim.send("chan %d source tone" % DSP_CHN[line])
                start = (self.chan(line)["tx"], time.monotonic())
                self.assertTrue(wait_for(lambda: self.chan(line)["tx"] >= start[0] + 150, timeout=20), self.chan(line))
                end = (self.chan(line)["tx"], time.monotonic())
                self.sim.send("chan %d source silence" % DSP_CHN[line])
                rate = (end[0] - start[0]) / (end[1] - start[1])
                self.assertTrue(35 <= rate <= 65, rate)
                if ender == "phone":
                    self.linphone.hang_up()
                else:
                    self.sim.digits(DSP_CHN[line], "##")
                self.assertTrue(self.wait_line(line, status_line=ON_HOOK), self.line(line))
                self.assertTrue(self.line_freed(line), (self.line(line), self.chan(line)))
                self.assertTrue(self.linphone.wait_state(None))
                tones = [(kind, f.get("sig")) for _, kind, f in self.sim.tones() if f["ch"] == DSP_CHN[line]]
                self.assertEqual(tones[-2:], [("dsp_tone", 10), ("dsp_tone_stop", None)], tones)


class AutomaticCall(unittest.TestCase):
    """The host softswitch is a SIPp registrar on 127.0.0.2; backup 1 is sipswitch on the board
    itself. While the board's own switch is current, line 0 calls line 1; when the host answers
    again both calls end without a BYE and the board's switch is restarted."""
    RESTART = b"killall sipswitch;./switch/sipswitch &"

    def setUp(self):
        self.board = gate_board()
        with open(self.board.path("root/switch/sip_server.ini")) as f:
            ini = f.read()
        ini = ini.replace("sip_server_local_host = 127.0.0.1", "sip_server_local_host = " + BOARD_IP)
        ini = ini.replace("sip_server_inter_host = 127.0.0.1", "sip_server_inter_host = " + BOARD_IP)
        self.board.write_settings(ini)
        self.host = SippServer(self.board, "registrar_options.xml", "127.0.0.2")
        make_qvd_db.make_db(self.board.path(DB), key_and_time=KEY_AND_TIME, ini={
            "MASTER_SLAVE_MODE": 1, "IP_SWITCH_0": "127.0.0.2", "PORT_SWITCH_0": self.host.port,
            "IP_SWITCH_1": BOARD_IP, "PORT_SWITCH_1": 5060},
            user_cors=[dict(make_qvd_db.user_cor_row(line), NET_COR_TYPE=0) for line in (0, 1)])
        self.sw = start_switch(self.board)
        self.gate = start_gate(self.board)
        self.assertTrue(self.gate.wait_ready(), self.gate.out[-2000:])
        self.seg = Segment()

    def tearDown(self):
        self.seg.remove()
        self.assertEqual(self.gate.stop()[0], 0)
        self.sw.stop()
        self.host.stop()
        self.board.close()

    def lines(self, **want):
        self.gate.read(0.05)
        return all(all(self.seg.line_status(line)[k] == v for k, v in want.items()) for line in (0, 1))

    def test_line_zero_calls_line_one_on_the_boards_own_switch(self):
        self.assertTrue(wait_for(lambda: self.lines(register_result=1), timeout=15), log(self.board)[-3000:])
        self.assertTrue(self.lines(status_line=IDLE))
        self.host.stop()
        # Three missed probes move the lines to the board's switch; there both lines talk.
        self.assertTrue(wait_for(lambda: self.lines(status_line=TALKING), timeout=90), log(self.board)[-3000:])
        self.assertEqual(self.seg.line_status(0)["caller_id"], b"8002")
        self.assertEqual(self.seg.line_status(1)["caller_id"], b"8001")
        since = len(log(self.board))
        # The host answers again: both calls end, no BYE, the board's switch restarted once.
        self.host.start()
        self.assertTrue(wait_for(lambda: self.lines(status_line=IDLE, chn_sip=-1), timeout=60), log(self.board)[-3000:])
        self.assertTrue(wait_for(lambda: b"killall sipswitch\n" in self.board.read("var/standin.log")))
        self.assertNotIn(b"[SendBye]", log(self.board)[since:])
        self.assertEqual(self.board.read("var/shell.log").count(self.RESTART), 1)


if __name__ == "__main__":
    main()

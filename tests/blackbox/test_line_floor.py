"""A line's radio floor against SIPp as the far end of its call: the far end's floor INFOs
(call-info taken, request and release answered accept, reject or ack; text-form granted, deny
and ack; event texts; DTMF sent as INFO; crafted bodies) key and release the line's PTT, the
line's COR and voice send its own floor INFOs in order, and RTP telephone events equal to the
request and release settings key and release the PTT.

The lines register with a SIPp registrar on 127.0.0.3; the far end is a second SIPp on
127.0.0.2 at the same port, which the line takes for its softswitch (an address of the board
itself on the switch's port). Each test writes the far end's scenario from a table of steps: an
INFO of its own, answered before the next step, or an answer 200 to the line's next INFO; then
the far end's BYE. A new row is one more entry in the table."""
import os
import socket
import struct
import subprocess
import unittest

from call_parties import first_line, header
from gate import DB, FLOW_LOG, gate_board, log, make_qvd_db
from harness import SIPP_BIND_FAILED, main, sipp_messages, start_gate, wait_bound, wait_for
from simboard import SimBoard
from sipp_server import SippServer
from webcfg import Segment

BOARD_IP = "10.77.0.5"
GATE_SIP_PORT = 5062
LINE_RTP_PORT = 20000
DSP_CHN = 1          # line 0 on a 2W board with CPLD 12
IDLE, TALKING = 0, 3
FAR_NUMBER = "9001"  # the calling number of the far end's call
REFUSED = b"]: " + "抢权失败".encode("gbk") + b" <"  # the log entry of a floor request denied

INVITE = """
  <send><![CDATA[
INVITE sip:8001@[remote_ip]:[remote_port] SIP/2.0
Via: SIP/2.0/UDP [local_ip]:[local_port];branch=[branch]
Max-Forwards: 70
From: <sip:%(far)s@[local_ip]:[local_port]>;tag=[pid]-far
To: <sip:8001@[remote_ip]:[remote_port]>
Call-ID: [call_id]
CSeq: 1 INVITE
Contact: <sip:%(far)s@[local_ip]:[local_port]>
Content-Type: application/sdp
Content-Length: [len]

v=0
o=- 1 1 IN IP4 127.0.0.1
s=-
c=IN IP4 127.0.0.1
t=0 0
m=audio %(media)d RTP/AVP 8 101
a=rtpmap:101 telephone-event/8000

]]></send>
  <recv response="100" optional="true"/>
  <recv response="180" optional="true"/>
  <recv response="200">
    <action>
      <ereg regexp="sip:[^>]*" search_in="hdr" header="Contact:" assign_to="gw"/>
      <ereg regexp=".*" search_in="hdr" header="To:" assign_to="to"/>
    </action>
  </recv>
  <send><![CDATA[
ACK [$gw] SIP/2.0
Via: SIP/2.0/UDP [local_ip]:[local_port];branch=[branch]
Max-Forwards: 70
From: <sip:%(far)s@[local_ip]:[local_port]>;tag=[pid]-far
To:[$to]
Call-ID: [call_id]
CSeq: 1 ACK
Content-Length: 0

]]></send>
"""

REQUEST = """
  <send><![CDATA[
%(method)s [$gw] SIP/2.0
Via: SIP/2.0/UDP [local_ip]:[local_port];branch=[branch]
Max-Forwards: 70
From: <sip:%(far)s@[local_ip]:[local_port]>;tag=[pid]-far
To:[$to]
Call-ID: [call_id]
CSeq: %(cseq)d %(method)s
Contact: <sip:%(far)s@[local_ip]:[local_port]>
%(headers)sContent-Length: [len]

%(body)s]]></send>
  <recv response="200"/>
"""

ANSWER = """
  <recv request="INFO"/>
  <send><![CDATA[
SIP/2.0 200 OK
[last_Via:]
[last_From:]
[last_To:]
[last_Call-ID:]
[last_CSeq:]
%(headers)sContent-Length: 0

]]></send>
"""


def scenario(media, steps):
    """The far end's call: INVITE, then each step, then BYE. A step ("info", (headers, body))
    sends an INFO and waits for its 200; ("answer", headers) answers the line's next INFO 200
    with those headers."""
    far = dict(far=FAR_NUMBER, media=media)
    parts = ['<?xml version="1.0" encoding="ISO-8859-1" ?>\n<scenario name="floor far end">', INVITE % far]
    if steps and steps[0][0] == "info":
        # A far end that begins with an INFO of its own gives the line a moment after the ACK.
        # One that begins by answering does not pause: SIPp takes an INFO of the line that
        # arrives during a pause as unexpected and ends the call.
        parts.append('  <pause milliseconds="300"/>\n')
    cseq = 2
    for n, (kind, what) in enumerate(steps):
        if kind == "info":
            parts.append(REQUEST % dict(far, method="INFO", cseq=cseq, headers=what[0], body=what[1]))
            cseq += 1
            # A short pause before the far end's next request, none before an answer (as above).
            if n + 1 == len(steps) or steps[n + 1][0] == "info":
                parts.append('  <pause milliseconds="100"/>\n')
        else:
            parts.append(ANSWER % dict(headers=what))
    parts.append(REQUEST % dict(far, method="BYE", cseq=cseq, headers="", body=""))
    parts.append("</scenario>\n")
    return "".join(parts)


def infos(*sent):
    return [("info", info) for info in sent]


def answered(count, headers=""):
    return [("answer", headers)] * count


def text(body, content_type="text/plain"):
    return "Content-Type: %s\n" % content_type, body


def call_info(value):
    return "Call-Info: %s\n" % value, ""


def event(code, seq, end=False):
    """An RFC 2833 telephone event of payload type 101 (16 bytes)."""
    return struct.pack("!BBHII", 0x80, 101, seq, 1000, 0x4321) + bytes([code, 0x8a if end else 0x0a, 0, 160])


class FarEnd(unittest.TestCase):
    ini = {}
    users = None

    def setUp(self):
        self.board = gate_board()
        self.registrar = SippServer(self.board, "registrar_options.xml", "127.0.0.3")
        ini = dict({"IP_SWITCH_0": "127.0.0.3", "PORT_SWITCH_0": self.registrar.port}, **self.ini)
        cors = [dict(make_qvd_db.user_cor_row(line), NET_COR_TYPE=0) for line in (0, 1)]
        make_qvd_db.make_db(self.board.path(DB), ini=ini, key_and_time={"T_BUSY_TONE": 1, "T_NO_RTP": 60}, user_cors=cors,
                           users=self.users)
        self.gate = start_gate(self.board)
        self.assertTrue(self.gate.wait_ready(), self.gate.out[-2000:])
        self.seg = Segment()
        self.sim = SimBoard(self.board, lines=2, card_type=1)
        self.assertTrue(self.sim.wait_ready())
        self.assertTrue(self.wait_line(register_result=1), log(self.board)[-3000:])
        self.media = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.media.bind(("127.0.0.1", 0))
        self.far = None

    def tearDown(self):
        if self.far and self.far.poll() is None:
            self.far.kill()
            self.far.wait()
        self.media.close()
        self.sim.close()
        self.seg.remove()
        self.assertEqual(self.gate.stop()[0], 0)
        self.registrar.stop()
        self.board.close()

    def line(self):
        self.gate.read(0.02)
        return self.seg.line_status(0)

    def wait_line(self, timeout=10.0, **want):
        return wait_for(lambda: all(self.line()[k] == v for k, v in want.items()), timeout=timeout)

    def call(self, steps):
        """Starts the far end's call with its table of steps; waits until the line talks."""
        path = self.board.path("var/floor.xml")
        with open(path, "w") as f:
            f.write(scenario(self.media.getsockname()[1], steps))
        self.trace = self.board.path("var/floor-sipp.log")
        args = ["sipp", "%s:%d" % (BOARD_IP, GATE_SIP_PORT), "-sf", path, "-m", "1", "-i", "127.0.0.2",
                "-p", str(self.registrar.port), "-nr", "-nostdin", "-trace_msg", "-message_file", self.trace,
                "-timeout", "60s", "-timeout_error"]
        self.far = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=self.board.path("var"))
        self.assertTrue(wait_bound(self.far, self.registrar.port) or self.far.poll() != SIPP_BIND_FAILED)
        self.assertTrue(self.wait_line(status_line=TALKING), log(self.board)[-3000:])

    def messages(self, kind):
        return [m for k, m in sipp_messages(self.trace) if k == kind]

    def answers(self):
        """The line's answers to the far end's INFOs, in order."""
        return [m for m in self.messages(b"received") if first_line(m) == b"SIP/2.0 200 OK" and header(m, b"CSeq").endswith(b" INFO")]

    def line_infos(self):
        return [m for m in self.messages(b"received") if m.startswith(b"INFO ")]

    def finish(self):
        rc = self.far.wait(timeout=60)
        self.assertEqual(rc, 0, sipp_messages(self.trace)[-6:])
        self.assertTrue(self.wait_line(status_line=IDLE, chn_sip=-1, timeout=15), self.line())
        self.assertEqual(self.sim.ptt(), 0)

    def ptt_changes(self):
        """Line 0's PTT output changes seen so far, in order."""
        return [int(t.split("=")[1]) for _, t in self.sim.outputs() if t.startswith("ptt1 value=")]

    def cor(self, on):
        self.sim.ok("set cor %d" % ((1 << self.sim.cor_bit(0)) if on else 0))
        self.sim.ok("chan %d source %s" % (DSP_CHN, "tone" if on else "silence"))

    def own_floor_infos(self, since, count):
        """Waits for count further INFOs of the line (after the first `since`); their Call-Info
        values, or the text body for a text INFO."""
        self.assertTrue(wait_for(lambda: len(self.line_infos()) >= since + count, timeout=10), self.line_infos())
        got = []
        for m in self.line_infos()[since:since + count]:
            value = header(m, b"Call-Info")
            got.append(value.split(b":", 1)[1].strip() if value else m.split(b"\r\n\r\n", 1)[1])
        return got


class FloorInfos(FarEnd):
    def test_floor_infos_of_the_far_end_and_of_the_line(self):
        # (INFO, what the line's 200 carries as Call-Info, None: none; PTT after it)
        rows = [
            (call_info("ptttype=taken;ptttel=9001;reqid=5001"), b"ptttype=taken;ptttel=;reqid=5001;result=accept", 1),
            (call_info("ptttype=request;ptttel=9001;reqid=5002"), b"ptttype=request;ptttel=;reqid=5002;result=reject", 1),
            (call_info("ptttype=release;ptttel=9001;reqid=5003"), b"ptttype=release;ptttel=;reqid=5003;result=ack", 0),
            (call_info("ptttype=idle;ptttel=9001;reqid=5004"), b"ptttype=idle;ptttel=;reqid=5004;result=ack", 0),
            (text("*1"), None, 1),                       # the request event text
            (text("*2"), None, 0),                       # the release event text
            (text("@7-8001-granted"), None, 0),          # the far end talks: the line listens
            (text("@7-8001-ack"), None, 0),
            (text("@8-8001-deny"), None, 0),
            (text("5\r\n"), None, 0),                    # a DTMF digit sent as INFO
            (text("Signal=5\r\nDuration=160\r\n", "application/dtmf-relay"), None, 0),
            # crafted bodies: answered, nothing keyed, the gateway runs on
            (call_info("ptttype=taken;ptttel=9001;reqid=" + "7" * 90), b"", 0),
            (call_info("ptttype;reqid=1"), b"", 0),
            (call_info("reqid=1;ptttype=taken"), b"", 0),
            (text("@" + "-" * 3 + "x" * 200), None, 0),
            (text("@1-" + "9" * 40 + "-granted"), None, 0),
        ]
        self.sim.outputs()
        self.call(infos(*[r[0] for r in rows]) + answered(8))
        self.assertTrue(wait_for(lambda: len(self.answers()) >= len(rows), timeout=20), self.answers())
        for (info, want, _), answer in zip(rows, self.answers()):
            got = header(answer, b"Call-Info")
            got = got.split(b":", 1)[1].strip() if got else None
            self.assertEqual(got, want or None, info)
        # The far end's requests keyed the radio, its releases let it go, and nothing else did.
        self.assertEqual(self.ptt_changes(), [1, 0, 1, 0])
        # "granted" while the line did not ask: it listens; "ack" ends that.
        flow = log(self.board, FLOW_LOG)
        self.assertLess(flow.index("开始放音".encode("gbk")), flow.index("停止放音".encode("gbk")))

        # COR and voice on the line: the event text, the seize pair with the call's calling
        # number and consecutive ids, then the floor request with the line's own number.
        self.cor(True)
        self.assertEqual(self.own_floor_infos(0, 4), [
            b"*1", b"ptttype=taken;ptttel=9001;reqid=1000", b"ptttype=request;ptttel=9001;reqid=1001",
            b"ptttype=request;ptttel=8001;reqid=1"])
        # The line's voice goes to the far end while it holds the floor.
        self.media.settimeout(5)
        voice = self.media.recv(2048)
        self.assertEqual((voice[1] & 0x7F, len(voice)), (8, 172))
        self.cor(False)
        self.assertEqual(self.own_floor_infos(4, 4), [
            b"*2", b"ptttype=idle;ptttel=9001;reqid=1000", b"ptttype=release;ptttel=9001;reqid=1001",
            b"ptttype=release;ptttel=8001;reqid=2"])
        self.finish()
        flow = log(self.board, FLOW_LOG)
        self.assertIn("网络侧抢占话权 COR".encode("gbk"), flow)
        # A deny while the line asked for nothing refuses nothing.
        self.assertNotIn(REFUSED, flow)


class LineDigitsAndDeny(FarEnd):
    """Line 0 sends the digits its radio keys as INFOs: each a text body of the digit and CR LF.
    In a call its keyed digits also mark where the test has got to in the line's INFOs."""
    users = [dict(make_qvd_db.user_row(0), DTMF_TYPE="SIPINFO"), make_qvd_db.user_row(1)]

    def seconds(self):
        """The gateway's one-second passes so far: each writes line 0's status LED."""
        self.sim.outputs()
        return sum(1 for _, t in self.sim.seen if t.startswith("led index=1 "))

    def wait_seconds(self, count):
        """Waits until the gateway has counted count more seconds (a hundred talking steps each)."""
        since = self.seconds()
        self.assertTrue(wait_for(lambda: self.seconds() >= since + count + 1, timeout=30), self.seconds())

    def test_keyed_digits_go_out_as_info_bodies(self):
        self.call(answered(3))
        self.sim.digits(DSP_CHN, "509")
        self.assertTrue(wait_for(lambda: len(self.line_infos()) >= 3, timeout=10), self.line_infos())
        for digit, info in zip("509", self.line_infos()):
            body = info.split(b"\r\n\r\n", 1)[1]
            self.assertEqual((header(info, b"Content-Length"), body), (b"Content-Length: 3", digit.encode() + b"\r\n"),
                             info)
        # The far end answered each 200 and then hung up: the line is idle again.
        self.finish()
        oks = [m for m in self.messages(b"sent") if first_line(m) == b"SIP/2.0 200 OK" and header(m, b"CSeq").endswith(b" INFO")]
        self.assertEqual(len(oks), 3)

    def test_a_deny_keeps_the_request_refused_for_the_call(self):
        reject = "Call-Info: ptttype=request;ptttel=;reqid=1;result=reject\n"
        self.call(answered(4, reject)                          # the line's seize, each refused
                  + infos(text("@9-8001-deny"))                # the floor is denied
                  + answered(1)                                # the digit that marks the test's steps
                  + infos(text("@10-8001-granted"), text("@11-8001-ack"))
                  + answered(8))                               # the next seize and the release
        self.cor(True)
        self.assertEqual(self.own_floor_infos(0, 4), [
            b"*1", b"ptttype=taken;ptttel=9001;reqid=1000", b"ptttype=request;ptttel=9001;reqid=1001",
            b"ptttype=request;ptttel=8001;reqid=1"])
        self.assertTrue(wait_for(lambda: REFUSED in log(self.board, FLOW_LOG)), log(self.board, FLOW_LOG)[-2000:])
        # Refused, the line neither releases when its carrier goes nor asks again when it comes
        # back, also well past the second after which an unanswered request lapses.
        self.cor(False)
        self.wait_seconds(1)
        self.cor(True)
        self.wait_seconds(1)
        self.sim.digits(DSP_CHN, "5")
        self.assertEqual(self.own_floor_infos(4, 1), [b"5\r\n"])
        # The far end's "granted" while the line is refused is the far end talking; its "ack"
        # frees the floor, and the line's carrier, still there, asks again.
        self.assertEqual(self.own_floor_infos(5, 4), [
            b"*1", b"ptttype=taken;ptttel=9001;reqid=1002", b"ptttype=request;ptttel=9001;reqid=1003",
            b"ptttype=request;ptttel=8001;reqid=2"])
        flow = log(self.board, FLOW_LOG)
        self.assertLess(flow.index(REFUSED), flow.index("开始放音".encode("gbk")))
        self.assertLess(flow.index("开始放音".encode("gbk")), flow.index("停止放音".encode("gbk")))
        self.cor(False)
        self.assertEqual(self.own_floor_infos(9, 4), [
            b"*2", b"ptttype=idle;ptttel=9001;reqid=1000", b"ptttype=release;ptttel=9001;reqid=1001",
            b"ptttype=release;ptttel=8001;reqid=3"])
        self.finish()
        self.assertEqual(log(self.board, FLOW_LOG).count(REFUSED), 1)


class FloorEvents(FarEnd):
    ini = {"REQUEST_PRO": "1", "RELEASE_PRO": "2"}

    def send_events(self, code):
        for n in range(3):
            self.seq += 1
            self.media.sendto(event(code, self.seq, end=n == 2), (BOARD_IP, LINE_RTP_PORT))

    def test_telephone_events_key_and_release_the_ptt(self):
        self.seq = 0
        self.sim.outputs()
        self.call(answered(8))
        self.send_events(1)
        self.assertTrue(wait_for(lambda: self.sim.ptt() & 1), self.sim.ptt())
        # A digit keyed on the radio while its PTT is keyed still goes out as its event: the
        # line's (silenced) voice packets around it are passed over.
        self.sim.ok("event %d dtmf 7" % DSP_CHN)
        self.media.settimeout(5)
        events, seen = [], 0
        while len(events) < 3 and seen < 1000:
            p = self.media.recv(2048)
            seen += 1
            if len(p) == 16 and p[1] & 0x7F == 101:
                events.append(p[12])
        self.assertEqual(events, [7, 7, 7])
        self.send_events(2)
        self.assertTrue(wait_for(lambda: self.sim.ptt() == 0), self.sim.ptt())
        self.assertEqual(self.ptt_changes(), [1, 0])
        # The line's own request and release begin with the event texts of these settings.
        self.cor(True)
        self.assertEqual(self.own_floor_infos(0, 4)[0], b"1")
        self.cor(False)
        self.assertEqual(self.own_floor_infos(4, 4)[0], b"2")
        self.finish()


if __name__ == "__main__":
    main()

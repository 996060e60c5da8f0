"""Broadcasts on line 0, driven over HTTP: a whole gateway with its broadcast server and player
started (gate_broadcast), both lines registered with this project's sipswitch on the board. An
A-law WAV is uploaded and converted into "1.wav"; each broadcast is then read on the simulated
board: the packets handed to line 0's DSP channel (their RTP numbering and times), the audio its
sink played (captured byte for byte) and the PTT output, against the file's data."""
import os
import re
import struct
import subprocess
import types
import unittest

from call_parties import SIPP_DIR, Phone, Sipp, first_line
from gate import gate_board, log
from harness import HTTP_PORT, main, start_gate_broadcast, start_switch, wait_for
from simboard import SimBoard
from test_http_requests import TRUE, ask
from webcfg import Segment

DSP_CHN = 1  # line 0 on the 2W board, CPLD 12
TALKING = 3
# 8070 bytes of A-law: 50 whole blocks of 160 and a short last one of 70, which goes out
# padded with A-law silence.
DATA = bytes((i * 37 + 11) & 0xFF for i in range(8070))
BLOCKS = -(-len(DATA) // 160)
PLAYED = DATA + b"\xd5" * (BLOCKS * 160 - len(DATA))
SWITCH_LOG = "tmp/log/softswitch.log"
CLOSED = b"broad close......"
CONVERTED = b"broad mp3 transfrom wav success......"


def alaw_wav(data):
    return (b"RIFF" + struct.pack("<I", len(data) + 36) + b"WAVEfmt " +
            struct.pack("<IHHIIHH", 16, 6, 1, 8000, 8000, 1, 8) + b"data" + struct.pack("<I", len(data)) + data)


class Broadcasts(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.board = gate_board()
        cls.sw = start_switch(cls.board)
        cls.gate = start_gate_broadcast(cls.board)
        assert cls.gate.wait_ready(), cls.gate.out[-2000:]
        cls.seg = Segment()
        cls.sim = SimBoard(cls.board)
        assert cls.sim.wait_ready()
        assert cls.wait(lambda: all(cls.seg.line_status(n)["register_result"] == 1 for n in (0, 1)))
        cls.switch = types.SimpleNamespace(board=cls.board, port=5060, runs=0)
        cls.phone = Phone(cls.switch, b"9001")
        cls.sim.ok("trace all")

        # The upload: an A-law WAV becomes an "1.wav" of the same data.
        cls.board.write("var/speech.wav", alaw_wav(DATA), "wb")
        body = subprocess.run(["curl", "-s", "-S", "--max-time", "20", "-F", "file=@%s" % cls.board.path("var/speech.wav"),
                               "http://127.0.0.1:%d/upload/upload" % HTTP_PORT],
                              check=True, stdout=subprocess.PIPE).stdout
        assert b'{"success":true}' in body, body
        assert cls.wait(lambda: CONVERTED in log(cls.board)), log(cls.board)[-2000:]
        assert cls.board.read("1.wav") == alaw_wav(DATA)

    @classmethod
    def tearDownClass(cls):
        cls.phone.close()
        cls.sim.close()
        cls.seg.remove()
        rc = cls.gate.stop()[0]
        cls.sw.stop()
        cls.board.close()
        assert rc == 0, rc

    @classmethod
    def wait(cls, pred, timeout=20.0):
        """wait_for, reading the gateway's console and the board's output record meanwhile (the
        gateway echoes its log there; the record keeps only the newest entries)."""
        def step():
            cls.gate.read(0.01)
            cls.sim.outputs()
            return pred()
        return wait_for(step, timeout=timeout)

    def broadcast(self, count):
        self.assertRegex(ask(HTTP_PORT, b"POST /broadcast/InstantBroadcast HTTP/1.1\r\n\r\ntimes=%d" % count), TRUE)

    def packets(self, since):
        """The broadcast's packets to line 0's DSP channel after output entry since:
        (milliseconds, RTP header bytes)."""
        out = []
        for ms, text in self.sim.seen[since:]:
            if text.startswith("dsp_in medium=network ch=%d len=176 " % DSP_CHN):
                out.append((ms, bytes.fromhex(re.search(r"data=([0-9a-f]+)", text).group(1))[4:16]))
        return out

    def ptt_writes(self, since):
        return [(ms, int(text.split("value=")[1])) for ms, text in self.sim.seen[since:] if text.startswith("ptt1 ")]

    def call_on_line_0(self):
        """A SIPp phone calls line 0 with PCMU, talks, and waits to be hung up on."""
        with open(os.path.join(SIPP_DIR, "call_uac_wait.xml")) as f:
            scenario = f.read().replace("RTP/AVP 8\n", "RTP/AVP 0\n").replace("rtpmap:8 PCMA", "rtpmap:0 PCMU")
        self.board.write("var/call_pcmu_wait.xml", scenario)
        sipp = Sipp(self.switch, self.board.path("var/call_pcmu_wait.xml"), "9002",
                    keys=(("calling", "9002"), ("called", "8001")))
        self.assertTrue(self.wait(lambda: self.seg.line_status(0)["status_line"] == TALKING))
        self.assertEqual(self.seg.line_status(0)["code_type"], b"G711U")
        return sipp

    def invite_refused(self):
        """An INVITE of the phone to line 0: the switch's final answer, and whether the gateway
        answered the switch 480."""
        mark = len(log(self.board, SWITCH_LOG))
        self.phone.send(self.phone.request(b"INVITE", b"while-playing", b"8001", 1,
                                           b"v=0\r\no=p 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\n"
                                           b"t=0 0\r\nm=audio 7000 RTP/AVP 8\r\n"))
        answer = self.phone.recv()
        while answer is not None and first_line(answer).startswith(b"SIP/2.0 1"):
            answer = self.phone.recv()
        gate_480 = re.compile(rb"recv data from ip=10\.77\.0\.5 port=\d+ \n.*?SIP/2\.0 480 ", re.S)
        return first_line(answer), bool(self.wait(lambda: gate_480.search(log(self.board, SWITCH_LOG)[mark:]), timeout=5))

    def test_broadcasts(self):
        rows = [
            # name, play count, "1.wav" there, call on line 0, stop in the lead-in, passes heard.
            # The call comes first: a line refuses calls for a second after its media closed, as
            # they do at the end of every broadcast.
            ("call on line 0", 2, True, True, False, 2),
            ("count 2", 2, True, False, False, 2),
            ("stop during the lead-in", 1, True, False, True, 0),
            ("1.wav missing", 1, False, False, False, 0),
        ]
        for row, (name, count, present, call, stop, passes) in enumerate(rows):
            with self.subTest(name):
                self.sim.outputs()
                since = len(self.sim.seen)
                closed = log(self.board).count(CLOSED)
                capture = "var/capture-%d.bin" % row
                self.sim.ok("chan %d capture %s" % (DSP_CHN, capture))
                if not present:
                    os.rename(self.board.path("1.wav"), self.board.path("var/away.wav"))
                sipp = self.call_on_line_0() if call else None

                self.broadcast(count)
                if stop:
                    self.assertTrue(self.wait(lambda: any(v for _, v in self.ptt_writes(since)), timeout=10))
                    self.assertRegex(ask(HTTP_PORT, b"GET /broadcast/StopBroadcast HTTP/1.1\r\n\r\n"), TRUE)
                if call:
                    # The call ends with the gateway's BYE before anything is played.
                    rc, messages = sipp.result()
                    self.assertEqual(rc, 0, messages)
                    self.assertIn(b"BYE", [first_line(m)[:3] for kind, m in messages if kind == b"received"])
                    self.assertIn(b"broad start, hang up calling......", log(self.board))
                    self.assertTrue(self.wait(lambda: self.packets(since)))
                    self.assertEqual(self.invite_refused(), (b"SIP/2.0 488 Not Acceptable Here", True))
                self.assertTrue(self.wait(lambda: log(self.board).count(CLOSED) > closed), log(self.board)[-3000:])
                self.sim.ok("chan %d capture off" % DSP_CHN)
                if not present:
                    os.rename(self.board.path("var/away.wav"), self.board.path("1.wav"))
                    self.assertIn(b"broad start open 1.wav error......", log(self.board))

                # The sink played the file's data, header left out, as often as asked, in order.
                self.sim.outputs()
                self.assertEqual(self.board.read(capture), PLAYED * passes)
                sent = self.packets(since)
                self.assertEqual(len(sent), BLOCKS * passes)
                ptt = self.ptt_writes(since)
                self.assertEqual(self.sim.ptt(), 0)
                if not sent:
                    self.assertEqual([v for _, v in ptt], [1, 0])
                    continue
                # PCMA, one sequence number and 160 samples apart, 20 ms apart on average.
                for i, (_, head) in enumerate(sent):
                    self.assertEqual(head[1], 8)
                    seq, ts = struct.unpack("!HI", head[2:8])
                    self.assertEqual((seq - struct.unpack("!H", sent[0][1][2:4])[0]) & 0xFFFF, i)
                    self.assertEqual((ts - struct.unpack("!I", sent[0][1][4:8])[0]) & 0xFFFFFFFF, 160 * i)
                first, last = sent[0][0], sent[-1][0]
                self.assertTrue(18 <= (last - first) / (len(sent) - 1) <= 30, (first, last, len(sent)))
                # PTT keyed 2 s before the first packet and held until after the last.
                keyed = [ms for ms, v in ptt if v == 1 and ms <= first]
                self.assertTrue(keyed, ptt)
                self.assertGreaterEqual(first - keyed[-1], 1900, ptt)
                self.assertFalse([ms for ms, v in ptt if v == 0 and keyed[-1] <= ms <= last], ptt)
                self.assertTrue([ms for ms, v in ptt if v == 0 and ms >= last], ptt)


if __name__ == "__main__":
    main()

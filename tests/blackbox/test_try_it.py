"""The README's "Try it" steps, run as written: every command a step runs is quoted from the
README and run in one shell, as a person would type it in the shell inside the board's
namespaces (from the clone's top, BOARD_ROOT set), while the test reads the status lines that
scripts/status.py prints. The phone's steps skip themselves without linphone-cli. A plain UDP
phone shows the board client and the status lines without linphone."""
import os
import re
import select
import struct
import subprocess
import sys
import time
import types
import unittest
import wave

import harness
import phones
from gate import gate_board
from harness import SOURCE_DIR, main, start_gate, start_switch, wait_for
from simboard import SimBoard
from test_line_calls import KEY_AND_TIME, Board as LineBoard, loud
from webcfg import Segment

README = os.path.join(SOURCE_DIR, "README.md")
STATUS = os.path.join(SOURCE_DIR, "scripts", "status.py")
STATUS_LINE = re.compile(r"^\d\d:\d\d:\d\d line (\d) \((\S+)\) (\S+) +(\S+) +far=(\S+) +codec=(\S+) +PTT=(\S+) +"
                         r"COR=(\S+) +rtp in=(\S+) out=(\S+)$", re.M)
DIAL_TONE = 9  # the IBS signal of the dial tone
DSP_CHN = {0: 1, 1: 2}


def readme_try_it():
    with open(README, encoding="utf-8") as f:
        text = f.read()
    start = text.index("## Try it\n")
    return text[start:text.index("\n## ", start + 1)]


def status_lines(root):
    """One round of status lines, by line: dicts of the fields, with the whole line as "text"."""
    r = subprocess.run([sys.executable, STATUS, "--root", root, "--once"], stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, timeout=30)
    out = r.stdout.decode("utf-8")
    names = ("number", "registration", "call", "far", "codec", "ptt", "cor", "rtp_in", "rtp_out")
    return {int(m.group(1)): dict(zip(names, m.groups()[1:]), text=m.group(0)) for m in STATUS_LINE.finditer(out)}


def frequency(sox_stat):
    m = re.search(rb"Rough\s+frequency:\s+(\d+)", sox_stat)
    return int(m.group(1)) if m else None


class Shell:
    """One bash, as the person's shell inside the namespaces: commands run one after another
    in it, so variables carry from one to the next."""

    def __init__(self, env, prelude=""):
        self.p = subprocess.Popen(["bash", "--norc", "--noprofile"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, cwd=SOURCE_DIR, env=env)
        self.run("exec 2>&1\n" + prelude)

    def run(self, command, timeout=60.0):
        """What command printed, and its exit status."""
        mark = b"__done_%d__" % id(command)
        self.p.stdin.write(command.encode() + b"\necho " + mark + b" $?\n")
        self.p.stdin.flush()
        out = b""
        end = time.time() + timeout
        while mark not in out:
            left = end - time.time()
            if left <= 0 or not select.select([self.p.stdout], [], [], left)[0]:
                raise AssertionError("no end of %r: %r" % (command, out))
            chunk = os.read(self.p.stdout.fileno(), 65536)
            if not chunk:
                raise AssertionError("the shell ended in %r: %r" % (command, out))
            out += chunk
        before, _, after = out.partition(mark)
        return before, int(after.split()[0])

    def close(self):
        self.p.stdin.close()
        self.p.wait(timeout=10)
        self.p.stdout.close()


class TryIt(unittest.TestCase):
    """The board as ./run.sh leaves it: laid out by make_board.sh, both programs running, both
    lines registered."""

    def setUp(self):
        self.text = readme_try_it()
        self.lines = {}
        self.board = gate_board()
        self.addCleanup(self.board.close)
        self.sw = start_switch(self.board)
        self.addCleanup(self.sw.stop)
        self.gate = start_gate(self.board)
        self.addCleanup(lambda: self.assertEqual(self.gate.stop()[0], 0))
        self.assertTrue(self.gate.wait_ready(), self.gate.out[-2000:])
        self.seg = Segment()
        self.addCleanup(self.seg.remove)
        self.sim = SimBoard(self.board)
        self.addCleanup(self.sim.close)
        self.assertTrue(self.sim.wait_ready())
        self.assertTrue(self.wait_status(0, registration="registered"), self.lines)
        self.assertTrue(self.wait_status(1, registration="registered"), self.lines)

    def step(self, command):
        """A command of the README's "Try it" section, as written there."""
        self.assertIn("\n    " + command + "\n", self.text, "the README no longer has this step")
        return command

    def shell(self, prelude=""):
        sh = Shell(dict(os.environ, BOARD_ROOT=self.board.root), prelude)
        self.addCleanup(sh.close)
        return sh

    def sh(self, shell, command, timeout=60.0):
        """A README step run in shell; its output (the step must succeed)."""
        out, rc = shell.run(self.step(command), timeout)
        self.assertEqual(rc, 0, (command, out))
        return out

    def status(self):
        self.gate.read(0.02)
        self.lines = status_lines(self.board.root)
        return self.lines

    def wait_status(self, line, timeout=20.0, **want):
        def seen():
            st = self.status().get(line)
            return st is not None and all(st[k] == v if isinstance(v, str) else v(st[k]) for k, v in want.items())
        return wait_for(seen, timeout=timeout, step=0.1)

    def rtp_out(self, line):
        return int(self.status()[line]["rtp_out"])

    def test_the_status_lines_show_both_lines_in_the_terminals_encoding(self):
        lines = self.status()
        self.assertEqual(sorted(lines), [0, 1], lines)
        for line, number in ((0, "8001"), (1, "8002")):
            st = lines[line]
            self.assertEqual((st["number"], st["call"], st["far"], st["ptt"], st["cor"]),
                             (number, "idle", "-", "off", "off"), st["text"])
            # The gateway's own text for "no codec" (GBK in the segment) comes out decoded.
            self.assertEqual(st["codec"], "不使用", st["text"])

    def test_a_linphone_phone_calls_line_8001(self):
        why = phones.available()
        if why:
            self.skipTest(why)
        phones.give_network()
        uid = harness.claim_uid()
        self.assertIsNotNone(uid)
        self.addCleanup(harness.release_uid, uid)
        # The phone's daemon finds its socket by its user id: this test's phone runs as a user
        # of its own, so tests running at once each reach their own phone.
        sh = self.shell('linphonecsh() { setpriv --reuid %d --regid %d --clear-groups linphonecsh "$@"; }' % (uid, uid))
        self.addCleanup(self.end_phone, sh, uid)

        self.sh(sh, "phone=$(mktemp -d) && mkdir -p $phone/.local/share/linphone && cp scripts/phone.rc $phone/rc")
        sh.run("chown -R %d:%d $phone" % (uid, uid))
        self.sh(sh, "HOME=$phone linphonecsh init -c $phone/rc")
        self.assertTrue(wait_for(lambda: sh.run(self.step("linphonecsh status register"))[0].startswith(
            b"registered, identity=sip:9001@127.0.0.1"), timeout=20, step=0.2))
        sh.run(self.step('linphonecsh generic "soundcard use files"'))
        sh.run(self.step("linphonecsh dial sip:8001@127.0.0.1"))
        self.assertIn("`talking`, `far=9001@127.0.0.1:7078`", self.text)
        self.assertTrue(self.wait_status(0, call="talking", far="9001@127.0.0.1:7078", codec="G711A"), self.lines)

        # The radio's tone reaches the phone.
        sh.run(self.step('linphonecsh generic "record $phone/heard.wav"'))
        sent = self.rtp_out(0)
        self.sh(sh, "scripts/board.py voice 0 tone")
        self.assertTrue(self.wait_status(0, rtp_out=lambda n: int(n) >= sent + 100), self.lines)
        self.sh(sh, "scripts/board.py voice 0 silence")

        # The phone's tone reaches the radio, caught in the WAV.
        self.sh(sh, "sox -n -r 8000 -c 1 -b 16 $phone/say.wav synth 10 sine 440 vol 0.5")
        heard = self.sim.chan(DSP_CHN[0])["rx"]
        sh.run(self.step('linphonecsh generic "play $phone/say.wav"'))
        self.assertTrue(wait_for(lambda: self.sim.chan(DSP_CHN[0])["peak"] > 5000 and
                                 self.sim.chan(DSP_CHN[0])["rx"] > heard + 10, timeout=20), self.sim.chan(DSP_CHN[0]))
        wav = self.sh(sh, "scripts/board.py capture 0 3 radio0.wav")
        self.assertEqual(wav.strip().decode(), self.board.path("radio0.wav"))

        sh.run(self.step("linphonecsh generic terminate"))
        self.assertTrue(self.wait_status(0, call="idle"), self.lines)
        self.assertIn("near 1000 in the first, near 440 in\nthe second", self.text)
        for command, hz in (("sox $phone/heard.wav -n stat", 1000), ("sox $BOARD_ROOT/radio0.wav -n stat", 440)):
            got = frequency(self.sh(sh, command))
            self.assertIsNotNone(got, command)
            self.assertLess(abs(got - hz), hz * 0.15, (command, got))

    def end_phone(self, sh, uid):
        try:
            sh.run(self.step("linphonecsh exit"), timeout=20)
        except AssertionError:
            pass
        # Any daemon left runs as the phone's claimed user: it is this test's.
        daemons = types.SimpleNamespace(uid=uid)
        if not wait_for(lambda: not phones.Linphone._daemons(daemons), timeout=5):
            for pid in phones.Linphone._daemons(daemons):
                os.kill(pid, 9)

    def test_the_radio_on_line_0_dials_line_1_and_talks(self):
        sh = self.shell()
        mark = len(self.sim.seen)
        self.sh(sh, "scripts/board.py keys 0 '*0'")
        self.assertIn("off-hook key `*0` and hears the\ndial tone (status `dial-tone`", self.text)

        def dial_tone():
            self.gate.read(0.02)
            return any(kind == "dsp_tone" and f["ch"] == DSP_CHN[0] and f.get("sig") == DIAL_TONE
                       for _, kind, f in self.sim.tones())
        self.assertTrue(wait_for(dial_tone, timeout=10), self.sim.tones())
        # The tone's PTT phase, then the radio may key the number. The phase is read from what
        # the board recorded: on a loaded machine one round of status lines may take longer.
        def line0_ptt():
            self.sim.outputs()
            return [int(text.split("=")[1]) for _, text in self.sim.seen[mark:] if text.startswith("ptt1 value=")]
        keyed_then_released = lambda v: 1 in v and 0 in v[v.index(1):]  # noqa: E731
        self.assertTrue(wait_for(lambda: keyed_then_released(line0_ptt()), timeout=10), line0_ptt())
        self.assertIn("once line 0's status shows `PTT=off` again", self.text)
        self.assertTrue(self.wait_status(0, call="dial-tone", ptt="off"), self.lines)

        self.sh(sh, "scripts/board.py keys 0 8002")
        self.assertTrue(self.wait_status(1, call="talking", far=lambda f: f.startswith("8001@")), self.lines)
        self.assertTrue(self.wait_status(0, call="talking", far=lambda f: f.startswith("8002@")), self.lines)

        self.sh(sh, "scripts/board.py cor 0 on")
        self.sh(sh, "scripts/board.py voice 0 tone")
        self.assertTrue(self.wait_status(1, ptt="on"), self.lines)
        self.assertEqual((self.lines[0]["cor"], self.lines[0]["ptt"]), ("on", "off"), self.lines[0]["text"])
        self.assertIn(b"line 1 on", self.sh(sh, "scripts/board.py ptt"))
        self.sh(sh, "scripts/board.py cor 0 off")
        self.sh(sh, "scripts/board.py voice 0 silence")
        self.assertTrue(self.wait_status(1, ptt="off"), self.lines)

        self.sh(sh, "scripts/board.py keys 0 '##'")
        self.assertTrue(self.wait_status(0, call="idle", far="-"), self.lines)
        self.assertTrue(self.wait_status(1, call="idle", far="-"), self.lines)


class BoardClient(LineBoard):
    """board.py and the status lines in a call of a plain UDP phone (no linphone needed)."""
    key_and_time = dict(KEY_AND_TIME, T_BUSY_TONE=5)

    def setUp(self):
        super().setUp()
        self.env = dict(os.environ, BOARD_ROOT=self.board.root)

    def board_py(self, *args):
        r = subprocess.run([os.path.join(SOURCE_DIR, "scripts", "board.py"), *args], env=self.env,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
        return r.returncode, r.stdout.decode()

    def status(self, line):
        self.gate.read(0.02)
        return status_lines(self.board.root).get(line)

    def test_cor_capture_and_status_in_a_call(self):
        # COR is one bit per line: keying one radio leaves the other as it was.
        for args, want in ((("0", "on"), ("on", "off")), (("1", "on"), ("on", "on")), (("0", "off"), ("off", "on")),
                           (("1", "off"), ("off", "off"))):
            self.assertEqual(self.board_py("cor", *args)[0], 0)
            self.assertEqual((self.status(0)["cor"], self.status(1)["cor"]), want, args)

        callid = self.talking_call(b"client")
        st = self.status(0)
        self.assertEqual((st["call"], st["far"], st["codec"]), ("talking", "9001@127.0.0.1:%d" % self.media_port, "G711A"))

        # The phone's loud A-law voice is what the radio hears: the WAV holds it decoded.
        seq = [0]

        def talk():
            seq[0] += 1
            self.media.sendto(loud(8, seq[0], seq[0] * 160), ("10.77.0.5", 20000))
        capture = subprocess.Popen([os.path.join(SOURCE_DIR, "scripts", "board.py"), "capture", "0", "2", "var/heard.wav"],
                                   env=self.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.addCleanup(capture.wait)
        while capture.poll() is None:
            talk()
            self.gate.read(0.02)
        out = capture.communicate()[0].decode()
        self.assertEqual((capture.returncode, out.strip()), (0, self.board.path("var/heard.wav")), out)
        with wave.open(self.board.path("var/heard.wav"), "rb") as w:
            self.assertEqual((w.getnchannels(), w.getsampwidth(), w.getframerate()), (1, 2, 8000))
            frames = w.readframes(w.getnframes())
        samples = struct.unpack("<%dh" % (len(frames) // 2), frames)
        self.assertGreaterEqual(len(samples), 160 * 5)
        self.assertEqual(len(samples) % 160, 0)
        # 0xAA and 0x2A are A-law's loudest codes, +32256 and -32256.
        self.assertEqual(set(samples), {32256, -32256})
        self.assertFalse([n for n in os.listdir(self.board.path("var")) if n.endswith(".g711")])
        self.assertGreater(int(self.status(0)["rtp_in"]), 0)

        # The phone hangs up: the busy tone keys the radio, seen in the status line.
        self.phone.send(self.phone.request(b"BYE", callid, b"8001", 2))
        self.assertTrue(wait_for(lambda: self.status(0)["ptt"] == "on", timeout=10, step=0.05))
        self.assertTrue(wait_for(lambda: self.status(0)["call"] == "idle", timeout=20))

    def test_the_client_refuses_bad_requests(self):
        for args in (("capture", "0", "1", "../out.wav"), ("voice", "0", "loud"), ("cor", "9", "on"), ("keys", "0")):
            rc, out = self.board_py(*args)
            self.assertNotEqual(rc, 0, (args, out))
        self.assertFalse(os.path.exists(os.path.join(os.path.dirname(self.board.root), "out.wav")))


if __name__ == "__main__":
    main()

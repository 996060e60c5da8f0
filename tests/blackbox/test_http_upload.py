"""Uploads through the HTTP broadcast server with curl: WAV (linear, A-law, µ-law) and MP3 files
made by sox and lame become an "1.wav" of 8 kHz mono A-law whose samples equal a reference
computed from sox's own decoding, the gateway's A-law rule and the specified decimation."""
import os
import re
import struct
import subprocess
import tempfile
import unittest

from gate import FLOW_LOG, gate_board
from harness import HTTP_PORT, SOURCE_DIR, main, run_tool, start_http, wait_for

SUCCESS = b"broad mp3 transfrom wav success......"
FAIL = b"broad transfrom wav fail......"
TRUE_BODY = b'{"success":true}'
FALSE_BODY = b'{"success":false}'
MAD_BUFFER_GUARD = 8


def run(*argv, **kw):
    return subprocess.run(argv, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw).stdout


def linear2alaw_table():
    """The gateway's own linear2alaw of every 16-bit input, indexed by input + 32768."""
    out = run_tool("g711_dump", check=True).stdout
    return out[1024:1024 + 65536]


def ulaw2alaw_table():
    """The gateway's µ-law to A-law rule from the standard's transcoding table it is built on."""
    with open(os.path.join(SOURCE_DIR, "tests/data/g711-transcoding.txt")) as f:
        text = f.read()
    u2a_text = text.split("u2a:")[1].split("a2u:")[0]
    u2a = [int(x) for line in u2a_text.splitlines()[1:] for x in line.split()]
    assert len(u2a) == 128
    table = []
    for c in range(256):
        if c & 0x80:
            table.append(((u2a[(~c) & 0x7F] - 1) ^ 0xD5) & 0xFF)
        else:
            table.append(((u2a[c ^ 0x7F] - 1) ^ 0x55) & 0xFF)
    return bytes(table)


def wave_header(length):
    return (b"RIFF" + struct.pack("<I", length + 36) + b"WAVEfmt " +
            struct.pack("<IHHIIHH", 16, 6, 1, 8000, 8000, 1, 8) + b"data" + struct.pack("<I", length))


def frame_samples(rate):
    """Samples per MPEG layer III frame: MPEG-1 rates 1152, MPEG-2 and 2.5 rates 576."""
    return 1152 if rate >= 32000 else 576


def decimate(samples, rate):
    """The kept samples of one frame, by the source rate."""
    if rate == 44100:
        kept, i, step = [], 0, 6
        while i < len(samples):
            kept.append(samples[i])
            i += step
            step = 11 - step
        return kept
    return list(samples[::{48000: 6, 32000: 4, 24000: 3, 16000: 2, 8000: 1}[rate]])


class Uploads(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.board = gate_board()
        cls.port = HTTP_PORT
        cls.http = start_http(cls.board, cls.port)
        cls.work = tempfile.mkdtemp(dir=cls.board.root, prefix="files-")
        cls.lin2a = linear2alaw_table()
        cls.u2a = ulaw2alaw_table()

    @classmethod
    def tearDownClass(cls):
        cls.board.close()

    def path(self, name):
        return os.path.join(self.work, name)

    def sox(self, *args):
        run("sox", "-D", *args, cwd=self.work)

    def pcm(self, name, channels=1):
        """sox's decoding of a file as 16-bit samples of its first channel."""
        raw = run("sox", "-D", self.path(name), "-t", "raw", "-e", "signed", "-b", "16", "-")
        return struct.unpack("<%dh" % (len(raw) // 2), raw)[::channels]

    def alaw(self, samples):
        return bytes(self.lin2a[s + 32768] for s in samples)

    def conversions(self):
        log = self.board.read(FLOW_LOG)
        return log.count(SUCCESS) + log.count(FAIL)

    def upload(self, name, filename=None):
        """Uploads a file with curl and waits for its conversion; the reply body and the new
        part of the flow log."""
        before = len(self.board.read(FLOW_LOG))
        done = self.conversions()
        form = "file=@%s" % self.path(name) + (";filename=%s" % filename if filename else "")
        body = run("curl", "-s", "-S", "--max-time", "20", "-F", form, "http://127.0.0.1:%d/upload/upload" % self.port)
        self.assertTrue(wait_for(lambda: self.conversions() > done, timeout=20), name)
        return body, self.board.read(FLOW_LOG)[before:]

    def assert_output(self, want_data):
        got = self.board.read("1.wav")
        self.assertEqual(got[:44], wave_header(len(want_data)))
        self.assertEqual(len(got), 44 + len(want_data))
        self.assertEqual(got[44:], want_data)

    def test_wav_uploads(self):
        # A 16-bit linear file of 16000 data bytes, spread over many reads; a short A-law file
        # that fits the server's first read (so a closing delimiter stored with it would show);
        # µ-law. sox writes a format extension and a "fact" chunk for the companded ones.
        self.sox("-n", "-r", "8000", "-c", "1", "-b", "16", "-e", "signed", self.path("lin.wav"),
                 "synth", "1", "sine", "200-3000", "vol", "0.9")
        self.sox("-n", "-r", "8000", "-c", "1", "-b", "8", "-e", "a-law", self.path("alaw.wav"),
                 "synth", "0.2", "sine", "440")
        self.sox("-n", "-r", "8000", "-c", "1", "-b", "8", "-e", "u-law", self.path("ulaw.wav"),
                 "synth", "0.5", "sine", "700", "vol", "0.5")
        ulaw_codes = run("sox", self.path("ulaw.wav"), "-t", "raw", "-e", "u-law", "-b", "8", "-")
        cases = [
            ("lin.wav", None, self.alaw(self.pcm("lin.wav"))),
            ("alaw.wav", "SHORT.WAV", self.alaw(self.pcm("alaw.wav"))),
            ("ulaw.wav", None, bytes(self.u2a[c] for c in ulaw_codes)),
        ]
        for name, filename, want in cases:
            with self.subTest(name):
                body, log = self.upload(name, filename)
                self.assertEqual(body, TRUE_BODY)
                self.assertIn(SUCCESS, log)
                self.assert_output(want)
                self.assertFalse(self.board.exists("tmp.wav"))
        self.assertEqual(len(self.board.read("1.wav")), 44 + 4000)  # 0.5 s of µ-law, whole

    def test_wav_with_a_chunk_that_holds_a_d_before_the_data(self):
        self.sox("-n", "-r", "8000", "-c", "1", "-b", "16", "-e", "signed", self.path("plain.wav"),
                 "synth", "0.3", "sine", "500")
        with open(self.path("plain.wav"), "rb") as f:
            wav = f.read()
        at = wav.index(b"data")
        info = b"INFOICMT" + struct.pack("<I", 8) + b"d data!\0"
        listed = wav[:at] + b"LIST" + struct.pack("<I", len(info)) + info + wav[at:]
        listed = listed[:4] + struct.pack("<I", len(listed) - 8) + listed[8:]
        with open(self.path("listed.wav"), "wb") as f:
            f.write(listed)
        body, log = self.upload("listed.wav")
        self.assertEqual(body, TRUE_BODY)
        self.assertIn(SUCCESS, log)
        self.assert_output(self.alaw(self.pcm("plain.wav")))

    def test_wav_not_8k_mono_is_refused_with_its_reason(self):
        cases = [
            (("-r", "16000", "-c", "1"), b"broad wav tag:1, nsamplerate:16000, nchannels:1, bits:16 error"),
            (("-r", "8000", "-c", "2"), b"broad wav tag:1, nsamplerate:8000, nchannels:2, bits:16 error"),
        ]
        for i, (fmt, reason) in enumerate(cases):
            with self.subTest(reason):
                name = "refused%d.wav" % i
                self.sox("-n", *fmt, "-b", "16", "-e", "signed", self.path(name), "synth", "0.2", "sine", "440")
                body, log = self.upload(name)
                self.assertEqual(body, TRUE_BODY)  # the upload itself was taken
                self.assertIn(reason, log)
                self.assertIn(FAIL, log)
                self.assertNotIn(SUCCESS, log)
                self.assertFalse(self.board.exists("1.wav"))
                self.assertTrue(self.board.exists("tmp.wav"))

    def test_mp3_uploads(self):
        # The left channel of a stereo 48 kHz file, 44.1 kHz, and 8 kHz (MPEG 2.5, 576 samples a
        # frame). lame -t: no information frame in front. sox decodes the file with libmad's guard
        # bytes behind it, so its last frame is in the reference too.
        cases = [
            ("m48.mp3", 48000, 2, ("synth", "1.3", "sine", "440", "sine", "1900", "vol", "0.8"), ()),
            ("m44.mp3", 44100, 1, ("synth", "0.7", "sine", "300-3500", "vol", "0.9"), ()),
            ("m8.mp3", 8000, 1, ("synth", "0.9", "sine", "300-2000"), ("--resample", "8")),
        ]
        for name, rate, channels, synth, lame_args in cases:
            with self.subTest(name):
                src = name + ".wav"
                self.sox("-n", "-r", str(rate), "-c", str(channels), "-b", "16", "-e", "signed", self.path(src), *synth)
                run("lame", "--quiet", "-t", *lame_args, self.path(src), self.path(name))
                with open(self.path(name), "rb") as f:
                    mp3 = f.read()
                with open(self.path("guarded-" + name), "wb") as f:
                    f.write(mp3 + bytes(MAD_BUFFER_GUARD))
                left = self.pcm("guarded-" + name, channels)
                n = frame_samples(rate)
                self.assertEqual(len(left) % n, 0)
                kept = []
                for at in range(0, len(left), n):
                    kept += decimate(left[at:at + n], rate)
                body, log = self.upload(name)
                self.assertEqual(body, TRUE_BODY)
                self.assertIn(SUCCESS, log)
                self.assert_output(self.alaw(kept))
                self.assertFalse(self.board.exists("tmp.mp3"))
        self.assertEqual(len(self.board.read("1.wav")) - 44, len(left))  # 8 kHz keeps every sample

    def test_mp3_of_an_unknown_rate_fails_with_its_reason(self):
        self.sox("-n", "-r", "22050", "-c", "1", "-b", "16", "-e", "signed", self.path("m22.wav"),
                 "synth", "0.3", "sine", "440")
        run("lame", "--quiet", "-t", self.path("m22.wav"), self.path("m22.mp3"))
        body, log = self.upload("m22.mp3")
        self.assertEqual(body, TRUE_BODY)
        self.assertIn(b"broad mp3 nsamplerate:22050, npayload:576, nchannels:1 error......", log)
        self.assertIn(FAIL, log)
        self.assertFalse(self.board.exists("1.wav"))

    def test_each_conversion_thread_is_joined(self):
        # An exited thread that nobody joins keeps its stack mapped: a leak would grow the
        # server's address space by a stack per upload.
        self.sox("-n", "-r", "8000", "-c", "1", "-b", "8", "-e", "a-law", self.path("tiny.wav"),
                 "synth", "0.05", "sine", "440")

        def vm_kib():
            with open("/proc/%d/status" % self.http.p.pid) as f:
                return int(re.search(r"VmSize:\s+(\d+) kB", f.read()).group(1))
        for _ in range(2):
            self.upload("tiny.wav")
        before = vm_kib()
        for _ in range(6):
            self.assertEqual(self.upload("tiny.wav")[0], TRUE_BODY)
        self.assertLess(vm_kib() - before, 8 * 1024)


if __name__ == "__main__":
    main()

"""The gateway's G.711 conversions against Python's audioop, over every code and input."""
import struct
import unittest
import warnings

from harness import main, run_tool

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import audioop

RANGE = range(-32768, 32768)


def dump():
    r = run_tool("g711_dump")
    assert r.returncode == 0, r.stderr
    out = r.stdout
    alaw = struct.unpack("<256h", out[0:512])
    ulaw = struct.unpack("<256h", out[512:1024])
    rest = out[1024:]
    n = len(RANGE)
    return alaw, ulaw, rest[0:n], rest[n:2 * n], rest[2 * n:3 * n]


class AgainstAudioop(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.alaw, cls.ulaw, cls.lin2alaw, cls.lin2alaw1, cls.lin2ulaw = dump()
        cls.samples = struct.pack("<%dh" % len(RANGE), *RANGE)

    def test_expanders_equal_on_all_codes(self):
        codes = bytes(range(256))
        self.assertEqual(self.alaw, struct.unpack("<256h", audioop.alaw2lin(codes, 2)))
        self.assertEqual(self.ulaw, struct.unpack("<256h", audioop.ulaw2lin(codes, 2)))

    def test_linear2alaw_equals_for_every_non_negative_sample(self):
        want = audioop.lin2alaw(self.samples, 2)
        self.assertEqual(self.lin2alaw[32768:], want[32768:])

    def test_linear2alaw_negative_within_one_step(self):
        for i, x in enumerate(range(-32768, 0)):
            code = self.lin2alaw[i]
            seg = ((code ^ 0x55) & 0x70) >> 4
            step = 16 if seg < 2 else 16 << (seg - 1)
            got = struct.unpack("<h", audioop.alaw2lin(bytes([code]), 2))[0]
            self.assertLessEqual(abs(got - x), step, "linear2alaw(%d) = 0x%02X" % (x, code))

    def test_linear2alaw1_equals_for_every_sample(self):
        self.assertEqual(self.lin2alaw1, audioop.lin2alaw(self.samples, 2))


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The simulated board's radios, worked by hand from a shell: key COR on a line, give the radio
a voice (the test tone or silence), press DTMF keys on it, read the PTT outputs, and record what
a line's radio hears into a WAV file under the board root.

    board.py cor LINE on|off          the radio's COR (carrier) input
    board.py voice LINE tone|silence  what the radio says into the line: a 1 kHz tone or nothing
    board.py keys LINE DIGITS [GAP]   DTMF keys (0-9 * # A-D) as the radio sends them, GAP ms apart
    board.py ptt                      the PTT outputs: which radios the gateway keys now
    board.py capture LINE SECONDS FILE
                                      records for SECONDS what the line plays to its radio, into
                                      FILE (a path under the board root) as a 16-bit WAV

LINE is the radio line, 0 first. The board root is $BOARD_ROOT, else ./board beside this
script's directory (where ./run.sh lays it out). The control socket answers only while radiogate
runs; it is a file, so any shell on this machine can use it (the board's network and shared
memory need a shell inside the namespaces). Standard library only; status.py imports it.
"""
import os
import socket
import struct
import sys
import time
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
CTL = "dev/AG0.ctl"
DEVICE = "dev/AG0"
MU_LAW, A_LAW = 2, 3  # the DSP channel's decoder, as "chan CH" reports it


def board_root():
    return os.environ.get("BOARD_ROOT") or os.path.join(os.path.dirname(HERE), "board")


def fields(text):
    """The key=value words of a reply as a dict (numbers as int)."""
    out = {}
    for word in text.split():
        key, eq, value = word.partition("=")
        if eq:
            try:
                out[key] = int(value, 0)
            except ValueError:
                out[key] = value
    return out


def ulaw_sample(code):
    code = ~code & 0xFF
    magnitude = (((code & 0x0F) << 3) + 0x84) << ((code & 0x70) >> 4)
    return 0x84 - magnitude if code & 0x80 else magnitude - 0x84


def alaw_sample(code):
    code ^= 0x55
    exponent = (code & 0x70) >> 4
    magnitude = (code & 0x0F) << 4
    magnitude = magnitude + 8 if exponent == 0 else (magnitude + 0x108) << (exponent - 1)
    return magnitude if code & 0x80 else -magnitude


ULAW = [ulaw_sample(c) for c in range(256)]
ALAW = [alaw_sample(c) for c in range(256)]


def pcm(payload, decoder):
    """G.711 payload bytes as little-endian 16-bit samples."""
    table = ULAW if decoder == MU_LAW else ALAW
    return struct.pack("<%dh" % len(payload), *(table[b] for b in payload))


class Board:
    """A client of the control socket of the board at root."""

    def __init__(self, root=None, timeout=3.0):
        self.root = os.path.abspath(root or board_root())
        self.ctl = os.path.join(self.root, CTL)
        if not os.path.exists(self.ctl):
            raise OSError("no control socket at %s: is radiogate running on this board root?" % self.ctl)
        # A socket of our own for the replies, unique to this process.
        self.me = os.path.join(self.root, "var", "board-py-%d.sock" % os.getpid())
        if os.path.exists(self.me):
            os.unlink(self.me)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.me)
        self.sock.settimeout(timeout)
        self.offset = self.channel_offset()

    def close(self):
        self.sock.close()
        if os.path.exists(self.me):
            os.unlink(self.me)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def channel_offset(self):
        """Boards from CPLD 6 on give line N the DSP channel N + 1; the CPLD is 12 unless the
        device file's start-up inputs say otherwise."""
        cpld = 12
        try:
            with open(os.path.join(self.root, DEVICE)) as f:
                for line in f:
                    words = line.split("#", 1)[0].split()
                    if words[:2] == ["set", "cpld"] and len(words) == 3:
                        cpld = int(words[2], 0)
        except (OSError, ValueError):
            pass
        return 1 if cpld >= 6 else 0

    def send(self, command):
        """The reply to one command; raises OSError when the board does not answer."""
        self.sock.sendto(command.encode(), self.ctl)
        try:
            return self.sock.recv(65536).decode(errors="replace")
        except socket.timeout:
            raise OSError("the board did not answer %r (radiogate stopped?)" % command)

    def ok(self, command):
        reply = self.send(command)
        if reply != "ok":
            raise ValueError("%s: %s" % (command, reply))

    def dsp(self, line):
        return line + self.offset

    def cor_word(self):
        return fields(self.send("cor"))["word"]

    def ptt_word(self):
        return fields(self.send("ptt"))["word"]

    def chan(self, line):
        reply = self.send("chan %d" % self.dsp(line))
        if reply.startswith("error"):
            raise ValueError("chan %d: %s" % (self.dsp(line), reply))
        return fields(reply)

    def set_cor(self, line, on):
        # The COR word is the board's, one bit per line: the other lines keep theirs.
        word = self.cor_word()
        word = word | 1 << line if on else word & ~(1 << line)
        self.ok("set cor %d" % word)

    def voice(self, line, source):
        self.ok("chan %d source %s" % (self.dsp(line), source))

    def keys(self, line, digits, gap_ms=None):
        self.ok("event %d digits %s%s" % (self.dsp(line), digits, "" if gap_ms is None else " %d" % gap_ms))

    def capture(self, line, seconds, rel):
        """Records what the line plays to its radio for seconds into rel (under the board root)
        as a WAV file; its absolute path."""
        rel = rel.lstrip("/")
        if os.path.isabs(rel) or ".." in rel.split("/"):
            raise ValueError("the WAV file must be a path under the board root")
        raw_rel = "var/capture-%d-%d.g711" % (line, os.getpid())
        raw = os.path.join(self.root, raw_rel)
        if os.path.exists(raw):
            os.unlink(raw)
        self.ok("chan %d capture %s" % (self.dsp(line), raw_rel))
        try:
            time.sleep(seconds)
        finally:
            self.ok("chan %d capture off" % self.dsp(line))
        decoder = self.chan(line).get("decoder")
        try:
            with open(raw, "rb") as f:
                payload = f.read()
        except FileNotFoundError:
            payload = b""
        finally:
            if os.path.exists(raw):
                os.unlink(raw)
        out = os.path.join(self.root, rel)
        os.makedirs(os.path.dirname(out), exist_ok=True)
        with wave.open(out, "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(8000)
            w.writeframes(pcm(payload, decoder))
        return out


def line_arg(text):
    line = int(text)
    if not 0 <= line < 9:
        raise ValueError("a line is 0 to 8")
    return line


def main(argv):
    if not argv or argv[0] in ("-h", "--help"):
        print(__doc__.strip())
        return 0 if argv else 2
    verb, args = argv[0], argv[1:]
    try:
        with Board() as b:
            if verb == "cor" and len(args) == 2 and args[1] in ("on", "off"):
                b.set_cor(line_arg(args[0]), args[1] == "on")
            elif verb == "voice" and len(args) == 2 and args[1] in ("tone", "silence"):
                b.voice(line_arg(args[0]), args[1])
            elif verb == "keys" and len(args) in (2, 3):
                b.keys(line_arg(args[0]), args[1], int(args[2]) if len(args) == 3 else None)
            elif verb == "ptt" and not args:
                word = b.ptt_word()
                print("PTT word %d:" % word, " ".join("line %d %s" % (n, "on" if word >> n & 1 else "off")
                                                       for n in range(9) if word >> n & 1) or "none keyed")
            elif verb == "capture" and len(args) == 3:
                print(b.capture(line_arg(args[0]), float(args[1]), args[2]))
            else:
                print(__doc__.strip(), file=sys.stderr)
                return 2
    except (OSError, ValueError) as e:
        print("board.py: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

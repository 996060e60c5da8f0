"""Client of the simulated board's control socket ("dev/AG0.ctl" beside the device file).

The protocol is documented in api/driver_api/sim/sim_board.h: one command per datagram,
one reply per command. Replies come once the program next makes a board request.
"""
import os
import socket
import sys

from harness import SOURCE_DIR, wait_for

sys.path.insert(0, os.path.join(SOURCE_DIR, "scripts"))
from board import fields  # noqa: E402  (replies read as the board client reads them)


class SimBoard:
    """lines, card_type and nine_wire describe the board as the gateway sees it (for cor_bit);
    the CPLD version chooses the DSP channel offset (for dsp) and follows set("cpld", N)."""

    def __init__(self, board, timeout=10.0, lines=4, card_type=0, nine_wire=False, cpld=12):
        self.lines = lines
        self.card_type = card_type
        self.nine_wire = nine_wire
        self.cpld = cpld
        self.seen = []  # every output entry read so far, as (milliseconds, text)
        self.ctl = board.path("dev/AG0.ctl")
        self.me = board.path("var/ctl-client-%d.sock" % os.getpid())
        if os.path.exists(self.me):
            os.unlink(self.me)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.me)
        self.sock.settimeout(timeout)

    def wait_ready(self, timeout=10.0):
        """Waits until the program has opened the device (the socket exists)."""
        return wait_for(lambda: os.path.exists(self.ctl), timeout)

    def send(self, command):
        self.sock.sendto(command.encode(), self.ctl)
        return self.sock.recv(65536).decode()

    def set(self, name, value):
        reply = self.send("set %s %s" % (name, value))
        if reply != "ok":
            raise AssertionError("set %s %s: %s" % (name, value, reply))
        if name == "cpld":
            self.cpld = int(str(value), 0)

    def ok(self, command):
        reply = self.send(command)
        if reply != "ok":
            raise AssertionError("%s: %s" % (command, reply))

    def dsp(self, line):
        """The DSP channel of a line (0-based): boards from CPLD 6 on use DSP channels from 1."""
        return line + (1 if self.cpld >= 6 else 0)

    def cor_bit(self, line):
        """The bit of the "set cor" word that is the line's COR input (0-based line)."""
        if self.nine_wire:
            return 1
        if self.card_type == 1:
            return self.lines - 1 - line
        return line

    def chan(self, ch):
        """The DSP channel's state ("chan CH") as a dict."""
        reply = self.send("chan %d" % ch)
        if reply.startswith("error"):
            raise AssertionError("chan %d: %s" % (ch, reply))
        return fields(reply)

    def ptt(self):
        """The PTT outputs now, one bit per line (bit 0 line 0)."""
        return fields(self.send("ptt"))["word"]

    def digits(self, ch, text, gap_ms=None):
        """DTMF digits heard on DSP channel ch, one after another on the DSP's clock."""
        self.ok("event %d digits %s%s" % (ch, text, "" if gap_ms is None else " %d" % gap_ms))

    def entries(self, name):
        """Every output entry called name seen so far, as (milliseconds, dict)."""
        self.outputs()
        return [(ms, fields(text)) for ms, text in self.seen if text.split(" ", 1)[0] == name]

    def tones(self):
        """Tone starts and stops seen so far, in order: (milliseconds, "dsp_tone" or
        "dsp_tone_stop", dict with ch and, for a start, sig, sys, on, off)."""
        self.outputs()
        return [(ms, text.split(" ", 1)[0], fields(text)) for ms, text in self.seen
                if text.split(" ", 1)[0] in ("dsp_tone", "dsp_tone_stop")]

    def outputs(self):
        """Every output entry not read yet, as (milliseconds, text); also kept in self.seen."""
        entries = []
        while True:
            reply = self.send("log")
            if not reply:
                self.seen.extend(entries)
                return entries
            for line in reply.splitlines():
                ms, _, text = line.partition(" ")
                entries.append((int(ms) if ms.isdigit() else -1, text if ms.isdigit() else line))

    def close(self):
        self.sock.close()
        if os.path.exists(self.me):
            os.unlink(self.me)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

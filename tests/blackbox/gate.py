"""radiogate on a scratch board: the simulated board device, a configuration database made by
scripts/make_qvd_db.py, and a reader of the program's console that keeps what it has read."""
import os
import re
import select
import sys
import time

from harness import SOURCE_DIR, Board, gbk, stop

sys.path.insert(0, os.path.join(SOURCE_DIR, "scripts"))
import make_qvd_db  # noqa: E402

DB = "var/www/QVD.db"
FLOW_LOG = "tmp/log/QVD_FLOW.log"
CFG_LOG = "tmp/log/QVD_CFG.log"
REG_LOG = "tmp/log/QVD_REG.log"

# The last box of start-up: the serial settings table.
START_DONE = b"| COM2_DATA_CONTROL"


def gate_board(with_db=True, **db):
    """A board root with the simulated board device and, unless told otherwise, a database."""
    b = Board()
    b.write("dev/AG0", "")
    if with_db:
        make_qvd_db.make_db(b.path(DB), **db)
    return b


def box_title(title):
    """The title line of a table box as radiogate prints it."""
    return b"|%30s%29s|\n" % (title.encode(), b" ")


def chn_switch_entry(channel):
    """The FLOW log text of a radio channel selection."""
    return b"[Sys_ChnSwitch]--User[1] Switch Chn , " + gbk("设置车台通为[%d]" % channel)


def entry_re(text, level=3, chn=-1, source=rb"[a-z_]+\.cpp"):
    """A plain (not ERROR or WARNING) log entry as it is written, whole."""
    return re.compile(rb"\[lv:%d\]\[chn:%4d\]: " % (level, chn) + re.escape(text) +
                      rb" <\d{4}-\d\d-\d\d \d\d:\d\d:\d\d><" + source + rb":\d+>\r\n\n")


class Gate:
    """One radiogate process and everything it has printed so far."""

    def __init__(self, board):
        self.board = board
        self.p = None
        self.out = b""

    def start(self, args=()):
        self.p = self.board.start("radiogate", args)
        return self

    def read(self, timeout):
        """Reads what the console has within timeout seconds."""
        end = time.time() + timeout
        fd = self.p.stdout.fileno()
        while True:
            left = end - time.time()
            if left <= 0:
                return
            r, _, _ = select.select([fd], [], [], min(left, 0.05))
            if r:
                chunk = os.read(fd, 65536)
                if not chunk:
                    return
                self.out += chunk

    def wait_out(self, marker, since=0, timeout=10.0):
        """True once marker appears in the console output after byte since."""
        end = time.time() + timeout
        while marker not in self.out[since:]:
            if time.time() >= end or self.p.poll() is not None:
                self.read(0.05)
                return marker in self.out[since:]
            self.read(0.05)
        return True

    def wait_started(self, timeout=10.0):
        if not self.wait_out(START_DONE, timeout=timeout):
            return False
        at = self.out.index(START_DONE)
        return self.wait_out(b"\n\n", since=at, timeout=timeout)

    def mark(self):
        """A position in the output; later waits look only at what comes after it."""
        self.read(0.01)
        return len(self.out)

    def stop(self):
        rc, out, err = stop(self.p)
        self.out += out
        return rc, err

    def log(self, rel=FLOW_LOG):
        return self.board.read(rel) if self.board.exists(rel) else b""

    def wait_log(self, needle, rel=FLOW_LOG, timeout=10.0):
        end = time.time() + timeout
        while time.time() < end:
            self.read(0.05)
            if needle in self.log(rel):
                return True
        return needle in self.log(rel)

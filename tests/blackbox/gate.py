"""radiogate's scratch boards, its log files and the texts it writes (started by harness.start_gate)."""
import os
import re
import socket
import sys
import time

from harness import ETH0_ADDR, SOURCE_DIR, Board, gbk, wait_for

sys.path.insert(0, os.path.join(SOURCE_DIR, "scripts"))
import make_qvd_db  # noqa: E402

DB = "var/www/QVD.db"
FLOW_LOG = "tmp/log/QVD_FLOW.log"
CFG_LOG = "tmp/log/QVD_CFG.log"
REG_LOG = "tmp/log/QVD_REG.log"


def gate_board(with_db=True, **db):
    """A board root as make_board.sh lays it out; db, when given, are the make_db keyword
    arguments its database is made with instead of the default one."""
    b = Board()
    if not with_db:
        os.remove(b.path(DB))
    elif db:
        make_qvd_db.make_db(b.path(DB), **db)
    return b


def box_title(title):
    """The title line of a table box as radiogate prints it."""
    return b"|%30s%29s|\n" % (title.encode(), b" ")


def chn_switch_entry(channel):
    """The FLOW log text of a radio channel selection."""
    return b"[Sys_ChnSwitch]--User[1] Switch Chn , " + gbk("设置车台通为[%d]" % channel)


def radio_chn_entry(channel):
    """The FLOW log text of the board selecting a radio channel."""
    return b"[ArmEnv_ChannelSwitch]--Switch Radio Chn [%d]" % channel


def entry_re(text, level=3, chn=-1, source=rb"[a-z_]+\.cpp"):
    """A plain (not ERROR or WARNING) log entry as it is written, whole."""
    return re.compile(rb"\[lv:%d\]\[chn:%4d\]: " % (level, chn) + re.escape(text) +
                      rb" <\d{4}-\d\d-\d\d \d\d:\d\d:\d\d><" + source + rb":\d+>\r\n\n")


def log(board, rel=FLOW_LOG):
    return board.read(rel) if board.exists(rel) else b""


def wait_log(gate, needle, rel=FLOW_LOG, timeout=10.0):
    """True once needle is in the log file rel of the running gateway gate."""
    end = time.time() + timeout
    while time.time() < end:
        gate.read(0.05)
        if needle in log(gate.board, rel):
            return True
    return needle in log(gate.board, rel)


def switch_asks_line_passwords(board):
    """The board's sipswitch with authentication on and a user database holding both lines'
    numbers and passwords. The first value of a settings key counts, so the board's own
    "sip_authen_enable = 0" is replaced rather than followed by another."""
    import sqlite3
    con = sqlite3.connect(board.path("sw.db"))
    con.execute("create table softswitch (tel text, password text, status int)")
    for line in (0, 1):
        row = make_qvd_db.user_row(line)
        con.execute("insert into softswitch values (?, ?, 0)", (row["USER_TEL"], row["REG_PWD"]))
    con.commit()
    con.close()
    with open(board.path("root/switch/sip_server.ini")) as f:
        ini = f.read()
    assert "sip_authen_enable = 0" in ini, "the board's switch settings changed their form"
    board.write_settings(ini.replace("sip_authen_enable = 0", "sip_authen_enable = 1") + "db name = sw.db\n")


def line_rtp_port(line):
    """A line's RTP port with the default RTP_PORT_MIN (two ports a line)."""
    return 20000 + 2 * line


class LineWatch:
    """What black-box tests read of the gateway's lines, for a TestCase holding the running
    gateway (gate), the shared memory (seg, webcfg.Segment) and the board (sim, SimBoard)."""

    def line(self, line):
        self.gate.read(0.02)
        return self.seg.line_status(line)

    def wait_line(self, line, timeout=10.0, **want):
        return wait_for(lambda: all(self.line(line)[k] == v for k, v in want.items()), timeout=timeout)

    def line_freed(self, line):
        """Idle with no stack channel, no RTP function on the DSP channel, the RTP port free."""
        if not self.wait_line(line, status_line=0, chn_sip=-1):
            return False
        if self.sim.chan(self.sim.dsp(line)).get("rtp") != 0:
            return False
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            try:
                s.bind((ETH0_ADDR, line_rtp_port(line)))
            except OSError:
                return False
        return True

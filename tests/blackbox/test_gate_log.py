"""radiogate's log files: where they go, how a full one moves to its backup in /root/log."""
import os
import re
import shutil
import unittest

from gate import FLOW_LOG, chn_switch_entry, entry_re, gate_board, radio_chn_entry
from harness import main, start_gate, wait_for
from webcfg import Segment, segment_exists

LINE = b"old entry line\n"


def shell_lines(board):
    return board.read("var/shell.log").decode().splitlines()


class GateLogTest(unittest.TestCase):
    def tearDown(self):
        if segment_exists():
            Segment().remove()


class Rotation(GateLogTest):
    def test_a_full_file_moves_to_its_backup_before_the_next_entry(self):
        with gate_board() as b:
            # 30002 lines are 15001 entries, one more than the limit: the next entry rotates.
            b.write(FLOW_LOG, LINE * 30002, mode="wb")
            b.write("root/log/QVD_FLOW.log_0_2000_01_01_00_00_00.bak", "older backup of index 0\n")
            g = start_gate(b)
            self.assertTrue(g.wait_ready())
            root = b.root
            shell = shell_lines(b)
            self.assertIn("rm -f %s/root/log/QVD_FLOW.log_0_*.bak" % root, shell)
            moves = [s for s in shell if s.startswith("mv ")]
            self.assertEqual(len(moves), 1, shell)
            m = re.fullmatch(r"mv %s/tmp/log/QVD_FLOW\.log (%s/root/log/QVD_FLOW\.log_0_"
                             r"\d{4}_\d\d_\d\d_\d\d_\d\d_\d\d\.bak)" % (re.escape(root), re.escape(root)), moves[0])
            self.assertIsNotNone(m, moves[0])
            with open(m.group(1), "rb") as f:
                self.assertEqual(f.read(), LINE * 30002)
            self.assertFalse(b.exists("root/log/QVD_FLOW.log_0_2000_01_01_00_00_00.bak"))
            # The new file starts with the entry that caused the move.
            live = b.read(FLOW_LOG)
            self.assertIsNotNone(entry_re(radio_chn_entry(1), chn=1).match(live), live[:300])
            self.assertEqual(g.stop()[0], 0)

    def test_the_limit_itself_still_takes_one_entry(self):
        with gate_board() as b:
            b.write(FLOW_LOG, LINE * 30000, mode="wb")  # 15000 entries: one more fits
            g = start_gate(b)
            self.assertTrue(g.wait_ready())
            # The first entry (the board selecting the configured radio channel) still goes into
            # the full file; the next one moves the file to its backup.
            moves = wait_for(lambda: [s for s in shell_lines(b) if s.startswith("mv ")])
            self.assertEqual(len(moves), 1)
            with open(moves[0].split()[2], "rb") as f:
                moved = f.read()
            self.assertTrue(moved.startswith(LINE * 30000))
            tail = moved[len(LINE) * 30000:]
            self.assertEqual(tail.count(b"\r\n\n"), 1)
            self.assertIsNotNone(entry_re(radio_chn_entry(1), chn=1).match(tail), tail)
            self.assertFalse(b.read(FLOW_LOG).startswith(LINE))
            self.assertEqual(g.stop()[0], 0)


class Placement(GateLogTest):
    def test_a_plain_file_where_the_log_directory_belongs_is_replaced(self):
        with gate_board() as b:
            shutil.rmtree(b.path("tmp/log"))
            b.write("tmp/log", "not a directory")
            g = start_gate(b)
            self.assertTrue(g.wait_ready())
            self.assertTrue(os.path.isdir(b.path("tmp/log")))
            for name in ("QVD_CFG.log", "QVD_FLOW.log", "QVD_REG.log"):
                self.assertTrue(b.exists("tmp/log/" + name), name)
            self.assertIn(chn_switch_entry(1), b.read(FLOW_LOG))
            self.assertEqual(b.read("tmp/log/QVD_REG.log"), b"")  # nothing ever writes it
            self.assertEqual(g.stop()[0], 0)


if __name__ == "__main__":
    main()

"""radiogate's log files: where they go, how a full one moves to its backup in /root/log."""
import os
import re
import shutil
import unittest

from gate import DB, FLOW_LOG, chn_switch_entry, entry_re, gate_board, wait_log
from harness import main, start_gate
from webcfg import ConfigDb, Segment, segment_exists

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
            self.assertRegex(live, entry_re(chn_switch_entry(1), chn=1))
            self.assertEqual(live.count(b"\r\n\n"), 1)
            self.assertEqual(g.stop()[0], 0)

    def test_the_limit_itself_still_takes_one_entry(self):
        with gate_board() as b:
            b.write(FLOW_LOG, LINE * 30000, mode="wb")  # 15000 entries: one more fits
            g = start_gate(b)
            self.assertTrue(g.wait_ready())
            self.assertFalse([s for s in shell_lines(b) if s.startswith("mv ")])
            self.assertTrue(b.read(FLOW_LOG).startswith(LINE * 30000))

            seg, db = Segment(), ConfigDb(b.path(DB))
            with seg.locked():
                db.set_ini("CHANNEL_SWITCH", 2)
                seg.raise_flag("TBIni")
            self.assertTrue(wait_log(g, chn_switch_entry(3)))
            self.assertEqual(len([s for s in shell_lines(b) if s.startswith("mv ")]), 1)
            self.assertEqual(b.read(FLOW_LOG).count(b"\r\n\n"), 1)
            self.assertEqual(g.stop()[0], 0)
            seg.detach()


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

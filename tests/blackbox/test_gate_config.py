"""The web configuration program edits the database and raises change flags; radiogate re-reads
the flagged tables once a second unless that program holds the lock. Against the real program,
with the web program played by webcfg.py."""
import time
import unittest

from gate import DB, box_title, chn_switch_entry, gate_board, log, make_qvd_db, wait_log
from harness import gbk, main, start_gate
from webcfg import LOCK_FREE, ConfigDb, Segment, segment_exists


class Reload(unittest.TestCase):
    """One running gateway per test, its segment and its database."""

    db_values = {}

    def setUp(self):
        self.board = gate_board(**self.db_values)
        self.gate = start_gate(self.board)
        self.assertTrue(self.gate.wait_ready(), self.gate.out[-2000:])
        self.seg = Segment()
        self.db = ConfigDb(self.board.path(DB))

    def tearDown(self):
        if self.gate.poll() is None:
            self.assertEqual(self.gate.stop()[0], 0)
        self.seg.remove()
        self.board.close()
        self.assertFalse(segment_exists())

    def edit(self, change, flag, line=None):
        """What the web program does on a save: lock, change, raise the flag, unlock."""
        with self.seg.locked():
            change()
            self.seg.raise_flag(flag, line)

    def wait_flag_cleared(self, flag, line=None, timeout=5.0):
        end = time.time() + timeout
        while time.time() < end:
            self.gate.read(0.05)
            if self.seg.flag(flag, line) == 0:
                return True
        return False


class TablesReloaded(Reload):
    # Nine lines, so that a row for line 4 names a line of the board.
    db_values = {"ini": {"SYS_COMP_MODE": 2}}

    def test_a_flagged_setting_is_applied_and_its_flag_cleared(self):
        since = self.gate.mark()
        self.edit(lambda: self.db.set_ini("CHANNEL_SWITCH", 5), "TBChannelSwitch")
        self.assertTrue(self.gate.wait_out(b"| CHANNEL_SWITCH              | 5 ", since=since, timeout=3))
        self.assertTrue(wait_log(self.gate, chn_switch_entry(6)))
        self.assertTrue(self.wait_flag_cleared("TBChannelSwitch"))
        self.assertEqual(self.seg.lock_word(), LOCK_FREE)

    def test_nothing_is_read_while_the_web_program_holds_the_lock(self):
        since = self.gate.mark()
        with self.seg.locked():
            self.db.set_ini("CHANNEL_SWITCH", 7)
            self.seg.raise_flag("TBIni")
            self.assertFalse(self.gate.wait_out(box_title("TB_INI"), since=since, timeout=2.5))
            self.assertEqual(self.seg.flag("TBIni"), 1)
            self.assertNotIn(chn_switch_entry(8), log(self.board))
        self.assertTrue(self.gate.wait_out(b"| CHANNEL_SWITCH              | 7 ", since=since, timeout=3))
        self.assertTrue(wait_log(self.gate, chn_switch_entry(8)))

    def test_only_flagged_lines_are_read(self):
        since = self.gate.mark()
        self.edit(lambda: self.db.set_user(1, RTP_INTERVAL=30), "User", 1)
        self.assertTrue(self.gate.wait_out(b"| RTP_INTERVAL                | 30 ", since=since, timeout=3))
        self.gate.read(1.2)
        seen = self.gate.out[since:]
        self.assertEqual(seen.count(b"TB_USER [USER_CHN = "), 1)
        self.assertIn(b"TB_USER [USER_CHN = 1]", seen)
        self.assertNotIn(box_title("TB_INI"), seen)

    def test_a_deleted_row_unregisters_its_line_and_a_new_row_adds_one(self):
        self.edit(lambda: self.db.delete_user(1), "User", 1)
        self.assertTrue(wait_log(self.gate, gbk("通道[1]用户被删除,发起注销")))
        since = self.gate.mark()
        self.edit(lambda: self.db.add_user(make_qvd_db.user_row(4)), "User", 4)
        self.assertTrue(self.gate.wait_out(b"TB_USER [USER_CHN = 4]", since=since))
        self.assertTrue(self.gate.wait_out(b"| USER_TEL                    | 8005 ", since=since))

    def test_time_flag_reads_both_time_and_ini(self):
        since = self.gate.mark()
        self.edit(lambda: self.db.set_ini("T_NO_ANSWER", 45, table="TB_KEY_AND_TIME"), "TBTime")
        self.assertTrue(self.gate.wait_out(b"| T_NO_ANSWER                 | 45 ", since=since, timeout=3))
        self.assertIn(box_title("TB_INI"), self.gate.out[since:])
        self.assertTrue(self.wait_flag_cleared("TBTime"))


class BusyDatabase(Reload):
    def test_a_busy_database_deletes_nothing_and_is_read_again(self):
        since = self.gate.mark()
        with self.db.busy():
            with self.seg.locked():
                self.seg.raise_flag("User", 1)
            self.gate.read(2.5)
            # The row was there all along: no deletion, and the flag stays up for a retry.
            self.assertNotIn(gbk("用户被删除"), log(self.board))
            self.assertNotIn(b"TB_USER [USER_CHN = 1]", self.gate.out[since:])
            self.assertEqual(self.seg.flag("User", 1), 1)
        self.assertTrue(self.gate.wait_out(b"TB_USER [USER_CHN = 1]", since=since, timeout=4))
        self.assertTrue(self.wait_flag_cleared("User", 1))
        self.assertNotIn(gbk("用户被删除"), log(self.board))


if __name__ == "__main__":
    main()

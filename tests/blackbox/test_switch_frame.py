"""sipswitch start-up, settings, banner, log and orderly end, against the real program."""
import os
import signal
import sqlite3
import time
import unittest

from harness import SETTINGS, Board, gbk, main, start_switch


class MissingSettings(unittest.TestCase):
    def test_missing_file_ends_start_up(self):
        with Board() as b:
            os.remove(b.path(SETTINGS))
            r = start_switch(b, wait=False).finish()
            self.assertEqual(r.returncode, 255)
            self.assertEqual(r.stdout, b"error:can't find /root/switch/sip_server.ini file, error\n")
            # Logging is on until the settings say otherwise, but nothing was logged.
            self.assertFalse(b.exists("tmp/log/softswitch.log"))

    def test_empty_file_counts_as_missing(self):
        with Board() as b:
            b.write_settings("")
            r = start_switch(b, wait=False).finish()
            self.assertEqual(r.returncode, 255)
            self.assertIn(b"can't find /root/switch/sip_server.ini", r.stdout)


class Settings(unittest.TestCase):
    def test_banner_shows_defaults(self):
        with Board() as b:
            b.write_settings("sip_server_local_host=10.1.2.3\n")
            sw = start_switch(b)
            self.assertIn(gbk("内网版本\n") + b"*" * 65 + b"\n", sw.out)
            self.assertIn(b"*softswitch_V4.1.7_Record_20080808\n", sw.out)
            self.assertIn(b"*MAX CALL CHANNEL = [500] MAX REGISTER CHANNEL = [500] \n", sw.out)
            self.assertIn(b"*Softswitch Local Host Address = [10.1.2.3]\n", sw.out)
            self.assertIn(b"*Softswitch Inner Host Address = []\n", sw.out)
            self.assertIn(b"callctrl_pendtime_int = 60\n", sw.out)
            rc, _ = sw.stop()
            self.assertEqual(rc, 0)

    def test_settings_table(self):
        # Each row: a settings line or two, and what the banner must then show.
        cases = [
            ("callctrl_pendtime = 120 // two minutes\n", b"callctrl_pendtime_int = 120\n"),
            ("callctrl_pendtime=abc\n", b"callctrl_pendtime_int = 0\n"),
            ("x=1\ncallctrl_pendtime=\n", b"callctrl_pendtime_int = 60\n"),
            ("callctrl_pendtime=   \n", b"callctrl_pendtime_int = 60\n"),
            ("CALLCTRL_PENDTIME=5\n", b"callctrl_pendtime_int = 60\n"),
            ("callctrl_pendtime=7\ncallctrl_pendtime=8\n", b"callctrl_pendtime_int = 7\n"),
            ("callctrl_pendtime=  -3x\n", b"callctrl_pendtime_int = -3\n"),
            ("sip_server_inter_host=192.168.100.200.1.2.3.4\n",
             b"*Softswitch Inner Host Address = [192.168.100.200]\n"),
            ("sip_server_inter_host=http://x\n", b"*Softswitch Inner Host Address = [http:]\n"),
            ("soft_inet_enable=1\n", gbk("公网版本\n")),
            ("sip_server_local_host=" + "9" * 300 + "\n",
             b"*Softswitch Local Host Address = [" + b"9" * 15 + b"]\n"),
            ("callctrl_pendtime\r\n\r\n=3\r\ncallctrl_pendtime=\t4\t\r\n", b"callctrl_pendtime_int = 4\n"),
        ]
        for text, want in cases:
            with self.subTest(settings=text), Board() as b:
                b.write_settings(text)
                sw = start_switch(b)
                self.assertIn(want, sw.out)
                rc, _ = sw.stop()
                self.assertEqual(rc, 0)

    def test_query_mode_line(self):
        with Board() as b:
            b.write_settings("QUERY_WORK_MODE=5\nsip_netmon_enable=1\n")
            sw = start_switch(b)
            self.assertIn(b"open the net monitor function\n", sw.out)
            self.assertIn(b"open the setting function of telphone \n", sw.out)
            sw.stop()


class Shutdown(unittest.TestCase):
    def test_signals_end_in_order(self):
        for sig, line in ((signal.SIGTERM, b"killall softswitch is quitting......\n"),
                          (signal.SIGINT, b"Ctrl-C softswitch is quitting......\n")):
            with self.subTest(sig=sig), Board() as b:
                b.write_settings("sip_debug=1\n")
                sw = start_switch(b)
                time.sleep(1.2)  # at least one tick has run
                rc, _ = sw.stop(sig)
                self.assertEqual(rc, 0)
                self.assertTrue(b.read("tmp/log/softswitch.log").endswith(line))

    def test_debug_off_writes_no_log(self):
        with Board() as b:
            b.write_settings("sip_debug=0\n")
            sw = start_switch(b)
            rc, _ = sw.stop()
            self.assertEqual(rc, 0)
            self.assertFalse(b.exists("tmp/log/softswitch.log"))

    def test_capitalised_debug_key_leaves_logging_on(self):
        with Board() as b:
            b.write_settings("SIP_DEBUG=0\n")
            sw = start_switch(b)
            rc, _ = sw.stop()
            self.assertEqual(rc, 0)
            self.assertIn(b"killall softswitch is quitting", b.read("tmp/log/softswitch.log"))

    def test_missing_log_directory_is_not_created(self):
        with Board() as b:
            os.rmdir(b.path("tmp/log"))
            b.write_settings("sip_debug=1\n")
            sw = start_switch(b)
            rc, _ = sw.stop()
            self.assertEqual(rc, 0)
            self.assertIn(b"open log error!\n", sw.out)
            self.assertFalse(b.exists("tmp/log"))


class Database(unittest.TestCase):
    def make_db(self, b, name):
        con = sqlite3.connect(b.path(name))
        con.execute("create table softswitch (tel text, status int)")
        con.executemany("insert into softswitch values (?, ?)", [("801", 5), ("802", 1)])
        con.commit()
        con.close()

    def test_status_rows_reset_at_start_and_end(self):
        with Board() as b:
            self.make_db(b, "sw.db")
            b.write_settings("db name = sw.db\n")
            sw = start_switch(b)
            self.assertIn(b"open sqlite db [/sw.db] .... success  \n", sw.out)
            con = sqlite3.connect(b.path("sw.db"))
            self.assertEqual(con.execute("select sum(status) from softswitch").fetchone()[0], 0)
            con.execute("update softswitch set status=1")
            con.commit()
            con.close()
            rc, _ = sw.stop()
            self.assertEqual(rc, 0)
            con = sqlite3.connect(b.path("sw.db"))
            self.assertEqual(con.execute("select sum(status) from softswitch").fetchone()[0], 0)
            con.close()

    def test_missing_database_is_never_created(self):
        with Board() as b:
            b.write_settings("db name = none.db\n")
            sw = start_switch(b)
            self.assertNotIn(b"open sqlite db", sw.out)
            rc, _ = sw.stop()
            self.assertEqual(rc, 0)
            self.assertFalse(b.exists("none.db"))


if __name__ == "__main__":
    main()

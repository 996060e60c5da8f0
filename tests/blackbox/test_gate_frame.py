"""radiogate's start-up, banner, logs, shared segment and orderly end, against the real program
on a simulated board. The launcher's private IPC namespace makes the segment key 5063 its own."""
import os
import re
import signal
import socket
import time
import unittest

from gate import CFG_LOG, FLOW_LOG, REG_LOG, box_title, chn_switch_entry, entry_re, gate_board, log, make_qvd_db
from harness import gbk, main, start_gate, wait_for
from webcfg import LOCK_FREE, LOCK_GATEWAY, LOCK_WEB, Segment, segment_exists

DASHES = b"-" * 54
BANNER_RE = re.compile(
    rb"\A\n" + DASHES + rb"\n"
    rb"                   QVD                   \n"
    rb"                   ver\[QVD_R1\.0\.4_2025\.05\.07_branch\]\n"
    rb"                 modify date\[[A-Z][a-z]{2} [ \d]\d \d{4}\]time\[\d\d:\d\d:\d\d\]\n" +
    DASHES + rb"\n\n")
FAILED = gbk("[main]<ERROR> : 系统初始化失败,系统退出......\n")
QUIT = b"QUITE SYSTEM..................\n"


def remove_segment():
    if segment_exists():
        Segment().remove()


class VersionBanner(unittest.TestCase):
    def test_any_argument_beginning_dash_dash_v(self):
        # Each row: the arguments; the banner comes and nothing is opened, not even the device.
        for args in (["--v"], ["--version"], ["--vx", "more"], ["first", "--verbose"]):
            with self.subTest(args=args), gate_board(with_db=False) as b:
                os.remove(b.path("dev/AG0"))
                r = start_gate(b, args).finish()
                self.assertEqual(r.returncode, 0)
                self.assertRegex(r.stdout, BANNER_RE)
                self.assertEqual(BANNER_RE.sub(b"", r.stdout), b"")
                self.assertEqual(r.stderr, b"")
                self.assertFalse(b.exists("dev/AG0"))
                self.assertFalse(b.exists(FLOW_LOG))
                self.assertFalse(segment_exists())

    def test_single_dash_goes_on_to_start(self):
        with gate_board(with_db=False) as b:
            r = start_gate(b, ["-v"]).finish()
            self.assertNotEqual(r.returncode, 0)
            self.assertTrue(b.exists(FLOW_LOG))
        remove_segment()


class FailedStartUp(unittest.TestCase):
    def test_without_database(self):
        with gate_board(with_db=False) as b:
            r = start_gate(b).finish()
            self.assertEqual(r.returncode, 255)
            self.assertRegex(r.stdout, BANNER_RE)
            self.assertEqual(r.stderr, b"DB /var/www/QVD.db open error , check db file\n"
                                       b"Data Base  initializing fail\n" + FAILED)
            self.assertFalse(b.exists("var/www/QVD.db"))
        remove_segment()

    def test_without_board_device(self):
        with gate_board() as b:
            os.remove(b.path("dev/AG0"))
            os.mkdir(b.path("dev/AG0"))  # a directory cannot be opened read/write
            r = start_gate(b).finish()
            self.assertEqual(r.returncode, 255)
            self.assertTrue(r.stderr.endswith(FAILED))
            want = re.compile(rb"\x1b\[1;37;40m\[lv:0\]\[chn:  -1\]\[ERROR\]:\x1b\[0;37;40m " +
                              re.escape(gbk("打开驱动[/dev/AG0]失败")) +
                              rb"  <\d{4}-\d\d-\d\d \d\d:\d\d:\d\d><main\.cpp:\d+>\x1b\[0m\r\n\n")
            self.assertRegex(b.read(FLOW_LOG), want)
            self.assertRegex(r.stdout, want)  # every entry is echoed on the console
            self.assertFalse(segment_exists())


    def test_sip_port_taken(self):
        # Another program holds the SIP port (the database's LOCAL_SIP_PORT) on every address.
        with gate_board() as b, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as taken:
            taken.bind(("0.0.0.0", make_qvd_db.INI["LOCAL_SIP_PORT"]))
            r = start_gate(b).finish()
            self.assertEqual(r.returncode, 255)
            self.assertTrue(r.stderr.endswith(b"sip module init fail\nUser module init fail\n" + FAILED), r.stderr)
        remove_segment()


class StartAndStop(unittest.TestCase):
    def tearDown(self):
        remove_segment()

    def test_start_read_every_table_log_publish_and_stop(self):
        with gate_board(lines=2) as b:
            g = start_gate(b)
            self.assertTrue(g.wait_ready(), g.out[-2000:])
            titles = [t for t in re.findall(rb"\|\s+(TB_[A-Z_]+(?: \[[A-Z_]+ = \d+\])?)\s+\|\n", g.out)]
            self.assertEqual(titles, [
                b"TB_DIAL_MAP [KEY_ID = 1]", b"TB_DIAL_MAP [KEY_ID = 2]", b"TB_DIAL_MAP [KEY_ID = 3]",
                b"TB_INI", b"TB_USER [USER_CHN = 0]", b"TB_USER [USER_CHN = 1]",
                b"TB_USER_COR [USER_CHN = 0]", b"TB_USER_COR [USER_CHN = 1]",
                b"TB_KEY_AND_TIME", b"TB_SERIAL_CFG"])
            self.assertIn(box_title("TB_INI") + b"|" + b"-" * 59 + b"|\n"
                          b"| VLAN_FLAG                   | 0                           |\n"
                          b"|" + b"-" * 29 + b"+" + b"-" * 29 + b"|\n", g.out)
            self.assertIn(b"| USER_TEL                    | 8002                        |\n", g.out)
            # A column that is never read is not shown.
            self.assertNotIn(b"HW_FREQENCE_SIN", g.out)

            # The three logs exist; the channel selection entry carries the board's time
            # (8 hours ahead), the source place and CR LF LF.
            for rel in (CFG_LOG, FLOW_LOG, REG_LOG):
                self.assertTrue(b.exists(rel), rel)
            flow = b.read(FLOW_LOG)
            m = entry_re(chn_switch_entry(1), chn=1, source=rb"struct_sys\.cpp").search(flow)
            self.assertIsNotNone(m, flow)
            stamp = re.search(rb"<(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)>", m.group(0)).group(1).decode()
            board_time = time.mktime(time.strptime(stamp, "%Y-%m-%d %H:%M:%S"))
            self.assertLess(abs(board_time - (time.time() + 28800)), 120)
            self.assertIn(m.group(0), g.out)

            seg = Segment()
            self.assertEqual(seg.versions()["program"], b"QVD_R1.0.4")
            self.assertEqual(seg.lock_word(), LOCK_FREE)
            for name in ("TBIni", "TBTime", "TBSerialCfg", "TBDialMap", "TBChannelSwitch"):
                self.assertEqual(seg.flag(name), 0, name)
            for line in range(9):
                self.assertEqual((seg.flag("User", line), seg.flag("UserCor", line)), (0, 0))

            rc, err = g.stop()
            self.assertEqual(rc, 0)
            self.assertTrue(err.endswith(QUIT), err)
            self.assertIn(b"[ShareMem_Free]-- \n", g.out)
            # The segment stays for the web program, free.
            self.assertEqual(seg.lock_word(), LOCK_FREE)
            seg.detach()
            self.assertTrue(segment_exists())

    def test_sigint_ends_in_order_too(self):
        with gate_board() as b:
            g = start_gate(b)
            self.assertTrue(g.wait_ready())
            rc, err = g.stop(signal.SIGINT)
            self.assertEqual(rc, 0)
            self.assertTrue(err.endswith(QUIT))


class SegmentAtStartUp(unittest.TestCase):
    def tearDown(self):
        remove_segment()

    def test_waits_while_the_web_program_holds_the_lock(self):
        seg = Segment(create=True)
        seg.lock()
        with gate_board() as b:
            g = start_gate(b)
            # Unlocked only once the gateway has begun to wait, however slowly it came to it; kept
            # locked a while longer so that the wait polls the lock many times.
            self.assertTrue(wait_for(lambda: g.read(0.01) or gbk("等待共享内存解锁") in log(b, CFG_LOG), timeout=30))
            g.read(0.2)
            self.assertNotIn(box_title("TB_INI"), g.out)
            seg.unlock()
            self.assertTrue(g.wait_ready())
            # One entry for the whole wait, not one per poll.
            self.assertEqual(b.read(CFG_LOG).count(gbk("等待共享内存解锁")), 1)
            self.assertEqual(seg.versions()["program"], b"QVD_R1.0.4")
            self.assertEqual(g.stop()[0], 0)
        seg.detach()

    def test_sigterm_while_waiting_for_the_lock_ends_in_order(self):
        seg = Segment(create=True)
        seg.lock()
        with gate_board() as b:
            g = start_gate(b)
            self.assertTrue(wait_for(lambda: gbk("等待共享内存解锁") in log(b, CFG_LOG)))
            # Well inside the start-up's own limit on the wait (30 s): the signal ends it.
            rc, err = g.stop(signal.SIGTERM, timeout=5)
            self.assertEqual(rc, 0)
            self.assertTrue(err.endswith(QUIT), err)
            self.assertNotIn(b"TB_", g.out)  # no table was read
            self.assertIn(b"[ShareMem_Free]-- \n", g.out)
            # The web program's lock and flags are left as they were.
            self.assertEqual(seg.lock_word(), LOCK_WEB)
            for name in ("TBIni", "TBTime", "TBSerialCfg", "TBDialMap", "TBChannelSwitch"):
                self.assertEqual(seg.flag(name), 0, name)
        seg.detach()

    def test_a_lock_left_by_an_earlier_run_is_taken_over(self):
        seg = Segment(create=True)
        seg.set_int(0, LOCK_GATEWAY)
        seg.raise_flag("User", 5)  # left over; read like every other table
        with gate_board() as b:
            g = start_gate(b)
            self.assertTrue(g.wait_ready())
            self.assertEqual(seg.lock_word(), LOCK_FREE)
            self.assertEqual(seg.flag("User", 5), 0)
            self.assertEqual(g.stop()[0], 0)
        seg.detach()

    def test_a_segment_smaller_than_the_layout_is_refused(self):
        small = Segment(create=True, size=100)
        small.set_int(96, 0x5a5a5a5a)
        with gate_board() as b:
            g = start_gate(b)
            self.assertTrue(g.wait_ready())  # every table is still read once
            self.assertIn(b"The share memory segment is already exist\n", g.out)
            self.assertIn(b"holds 100 bytes, 2212 needed; not used\n", g.out)
            self.assertIn(gbk("创建共享内存失败, 无法用CGI程序修改数据库信息"), b.read(CFG_LOG))
            self.assertEqual(small.int(96), 0x5a5a5a5a)  # nothing written into it
            rc, err = g.stop()
            self.assertEqual(rc, 0)
            self.assertTrue(err.endswith(QUIT))
        small.detach()


if __name__ == "__main__":
    main()

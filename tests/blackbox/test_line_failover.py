"""OPTIONS supervision moves the gateway's lines between softswitches: the host and backup 1
are SIPp softswitches on 127.0.0.2 and 127.0.0.3 that answer every OPTIONS and REGISTER; the
host goes silent (its SIPp ends) and comes back (a new SIPp on the same port). Each switching
mode of the board's configuration gets its own gateway."""
import re
import unittest

from gate import DB, gate_board, log, make_qvd_db, wait_log
from harness import gbk, main, start_gate, wait_for
from sipp_server import SippServer
from webcfg import Segment

HOST_IP, BACKUP_IP = "127.0.0.2", "127.0.0.3"
NO_SWITCH, HOST_PRIORITY, IN_SEQUENCE = 0, 1, 2


def registered_entry(tel, sw):
    return (b"[RegSetUserRegResult]-- pUser[%s], RegSwitch[%s:%d], Expires[60],  RegResult[ " %
            (tel.encode(), sw.ip.encode(), sw.port) + gbk("注册成功") + b" ]")


def no_rsp_entry(frm, frm_sw, to, to_sw):
    return gbk("[RegChangeSwitchServerNoRsp]-- 检测到[%s][%s:%d]无响应, 切换到[%s][%s:%d]" %
               (frm, frm_sw.ip, frm_sw.port, to, to_sw.ip, to_sw.port))


class Failover(unittest.TestCase):
    mode = None

    def setUp(self):
        self.board = gate_board()
        # Softswitches that are alive: every OPTIONS and REGISTER gets 200.
        self.host = SippServer(self.board, "registrar_options.xml", HOST_IP)
        self.backup = SippServer(self.board, "registrar_options.xml", BACKUP_IP)
        make_qvd_db.make_db(self.board.path(DB), ini={
            "MASTER_SLAVE_MODE": self.mode,
            "IP_SWITCH_0": HOST_IP, "PORT_SWITCH_0": self.host.port,
            "IP_SWITCH_1": BACKUP_IP, "PORT_SWITCH_1": self.backup.port})
        self.gate = start_gate(self.board)
        self.assertTrue(self.gate.wait_ready(), self.gate.out[-2000:])
        self.seg = Segment()

    def tearDown(self):
        if self.gate.poll() is None:
            self.assertEqual(self.gate.stop()[0], 0)
        self.host.stop()
        self.backup.stop()
        self.seg.remove()
        self.board.close()

    def wait_registered(self, sw, since=0, timeout=10.0):
        def both():
            self.gate.read(0.05)
            data = log(self.board)[since:]
            return all(registered_entry(tel, sw) in data for tel in ("8001", "8002"))
        return wait_for(both, timeout=timeout)

    def wait_entry(self, text, timeout):
        return wait_log(self.gate, text, timeout=timeout)

    def lines_registered(self):
        return all(self.seg.line_status(line)["register_result"] == 1 for line in (0, 1))

    def start_on_host_then_silence_it(self):
        self.assertTrue(self.wait_registered(self.host), log(self.board)[-3000:])
        self.host.stop()
        return len(log(self.board))


class HostPriority(Failover):
    mode = HOST_PRIORITY

    def test_probes_every_five_seconds_move_to_the_backup_and_back_to_the_host(self):
        # Both usable addresses are probed, every 5 s.
        self.assertTrue(wait_for(lambda: self.gate.read(0.05) or len(self.backup.received_times(b"OPTIONS")) >= 3,
                                 timeout=20))
        stamps = self.backup.received_times(b"OPTIONS")
        for a, b in zip(stamps, stamps[1:]):
            self.assertTrue(4.0 <= b - a <= 6.0, stamps)
        self.assertGreaterEqual(len(self.host.received(b"OPTIONS")), 2)
        since = self.start_on_host_then_silence_it()
        # The first switch after a registration tries the host itself, the next one the backup.
        self.assertTrue(self.wait_entry(no_rsp_entry("主软交换", self.host, "主软交换", self.host), timeout=25))
        self.assertTrue(self.wait_entry(no_rsp_entry("主软交换", self.host, "备1软交换", self.backup), timeout=25))
        self.assertTrue(self.wait_registered(self.backup, since), log(self.board)[-3000:])
        self.assertTrue(self.lines_registered())
        # The host answers again: every line is removed from the backup, then registers with it.
        since = len(log(self.board))
        self.host.start()
        self.assertTrue(self.wait_entry(gbk("[RegChangeSwitchServer]-- 检测到需要【 主备切换 】"), timeout=12))
        self.assertTrue(self.wait_registered(self.host, since), log(self.board)[-3000:])
        removals = [m for m in self.backup.received(b"REGISTER") if b"Expires: 0\r\n" in m]
        self.assertEqual({re.search(rb"From: <sip:(\d+)@", m).group(1) for m in removals}, {b"8001", b"8002"})
        self.assertTrue(self.lines_registered())


class InSequence(Failover):
    mode = IN_SEQUENCE

    def test_the_lines_move_to_the_backup_and_stay_when_the_host_returns(self):
        since = self.start_on_host_then_silence_it()
        self.assertTrue(self.wait_entry(no_rsp_entry("主软交换", self.host, "备1软交换", self.backup), timeout=25))
        self.assertTrue(self.wait_registered(self.backup, since), log(self.board)[-3000:])
        self.host.start()
        self.assertTrue(wait_for(lambda: self.gate.read(0.05) or len(self.host.received(b"OPTIONS")) >= 2, timeout=15))
        self.assertNotIn(gbk("[RegChangeSwitchServer]--"), log(self.board))
        self.assertEqual(self.host.received(b"REGISTER"), [])
        self.assertTrue(self.lines_registered())


class NoSwitch(Failover):
    mode = NO_SWITCH

    def test_probes_go_on_but_nothing_moves(self):
        self.start_on_host_then_silence_it()
        # Three misses of the host have passed by the 14th second; wait past two more probes.
        self.assertTrue(wait_for(lambda: self.gate.read(0.05) or len(self.backup.received(b"OPTIONS")) >= 5,
                                 timeout=30))
        self.assertNotIn(gbk("[RegChangeSwitchServerNoRsp]"), log(self.board))
        self.assertEqual(self.backup.received(b"REGISTER"), [])


if __name__ == "__main__":
    main()

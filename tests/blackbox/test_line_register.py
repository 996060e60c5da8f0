"""The gateway's lines register with their softswitch: with a SIPp registrar that challenges
them and grants a shorter lifetime, with one that refuses or ignores them in every way a
registrar can, and with this project's own sipswitch on the same board. The web program is
played by webcfg.py; the registration results are read where that program reads them."""
import re
import time
import unittest

from gate import DB, FLOW_LOG, gate_board, log, make_qvd_db, switch_asks_line_passwords, wait_log
from harness import gbk, main, start_gate, start_switch, wait_for
from sipp_server import SippServer
from webcfg import ConfigDb, Segment

UNREGISTERED, REGISTERED, FAILED, TIMED_OUT = 0, 1, 2, 3
RESULT_TEXT = {UNREGISTERED: "注销成功", REGISTERED: "注册成功", FAILED: "注册失败", TIMED_OUT: "注册超时"}
ENTRY_TIME = re.compile(rb"<(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)><[a-z_]+\.cpp:\d+>\r\n\n")


def line_row(line, **values):
    row = make_qvd_db.user_row(line)
    row.update(values)
    return row


def result_entry(tel, port, expires, result):
    """The FLOW log text of a line's registration result."""
    return (b"[RegSetUserRegResult]-- pUser[%s], RegSwitch[127.0.0.1:%d], Expires[%d],  RegResult[ " %
            (tel.encode(), port, expires) + gbk(RESULT_TEXT[result]) + b" ]")


def sent_entry(tel, expires):
    """The start of the FLOW log text of a REGISTER going out (the counter value before it)."""
    return b", Expire[%d], RegTel[%s]" % (expires, tel.encode())


def entry_times(data, needle):
    """The time stamps (seconds) of the log entries that contain needle, in order."""
    out = []
    for entry in data.split(b"\r\n\n"):
        if needle in entry:
            m = ENTRY_TIME.search(entry + b"\r\n\n")
            if m:
                out.append(time.mktime(time.strptime(m.group(1).decode(), "%Y-%m-%d %H:%M:%S")))
    return out


class LineRegistration(unittest.TestCase):
    scenario = None
    keys = ()
    lines = ()
    ini = {}

    def setUp(self):
        self.board = gate_board(with_db=True)
        self.registrar = SippServer(self.board, self.scenario, keys=self.keys)
        ini = {"IP_SWITCH_0": "127.0.0.1", "PORT_SWITCH_0": self.registrar.port}
        ini.update(self.ini)
        make_qvd_db.make_db(self.board.path(DB), ini=ini, users=list(self.lines),
                            user_cors=[make_qvd_db.user_cor_row(r["USER_CHN"]) for r in self.lines])
        self.gate = start_gate(self.board)
        self.assertTrue(self.gate.wait_ready(), self.gate.out[-2000:])
        self.seg = Segment()
        self.db = ConfigDb(self.board.path(DB))

    def tearDown(self):
        if self.gate.poll() is None:
            self.assertEqual(self.gate.stop()[0], 0)
        self.registrar.stop()
        self.seg.remove()
        self.board.close()

    def result(self, line):
        return self.seg.line_status(line)["register_result"]

    def wait_result(self, line, want, timeout=10.0):
        def seen():
            self.gate.read(0.05)
            return self.result(line) == want
        return wait_for(seen, timeout=timeout)

    def registers_from(self, tel):
        return [m for kind, m in self.registrar.messages()
                if kind == b"received" and m.startswith(b"REGISTER ") and b"sip:%s@" % tel.encode() in m]


class ChallengingRegistrar(LineRegistration):
    scenario = "registrar_auth.xml"
    keys = (("password", "secret"), ("granted", 5))
    lines = (line_row(0, REG_PWD="secret", REG_EXPIRES=10), line_row(1, REG_PWD="secret", REG_EXPIRES=10))

    def test_both_lines_are_challenged_registered_and_refreshed_at_the_granted_lifetime(self):
        for line, tel in ((0, "8001"), (1, "8002")):
            self.assertTrue(self.wait_result(line, REGISTERED), self.gate.out[-3000:])
            self.assertTrue(wait_log(self.gate, result_entry(tel, self.registrar.port, 10, REGISTERED)))
            self.assertEqual(self.seg.line_status(line)["chn_register"] >= 0, True)
        # Asked 10 s, granted 5: each refresh leaves 4 s (0.8 of 5) after the one before.
        self.assertTrue(wait_log(self.gate, b"CntExpire[4]" + sent_entry("8001", 10), timeout=8))
        self.assertTrue(wait_log(self.gate, b"CntExpire[4]" + sent_entry("8002", 10), timeout=8))
        for tel in ("8001", "8002"):
            regs = self.registers_from(tel)
            # The first of each registration carries no credentials; the challenged one does,
            # and the registrar checked its response against the password.
            self.assertNotIn(b"Authorization:", regs[0])
            self.assertTrue(any(b'username="%s"' % tel.encode() in m for m in regs))
            self.assertIn(b"User-Agent: QVD_R1.0.4\r\n", regs[0])
            self.assertEqual(len({re.search(rb"Call-ID: *(\S+)", m).group(1) for m in regs}), 1)
        self.assertNotIn(b"secret", log(self.board) + self.gate.out)
        self.assertEqual(self.result(0), REGISTERED)

    def test_a_new_password_removes_the_line_and_registers_it_again(self):
        self.assertTrue(self.wait_result(0, REGISTERED), self.gate.out[-3000:])
        with self.seg.locked():
            self.db.set_user(0, REG_PWD="wrong")
            self.seg.raise_flag("User", 0)
        # The line is idle: removed at once (Expires 0), then registered with the new values,
        # which this registrar does not take.
        self.assertTrue(wait_log(self.gate, b"[SendUnRegister]iRegChn[", timeout=5))
        self.assertTrue(wait_for(lambda: any(b"Expires: 0\r\n" in m for m in self.registers_from("8001")), timeout=5))
        self.assertTrue(self.wait_result(0, FAILED, timeout=10), self.gate.out[-3000:])
        self.assertEqual(self.result(1), REGISTERED)
        self.assertNotIn(b"wrong", log(self.board) + self.gate.out)


class TimeFromTheRegistrar(LineRegistration):
    """Time sync from SIP messages: the Date of the answer that grants a registration sets
    the board's clock, once."""
    scenario = "registrar_auth.xml"
    keys = (("password", "secret"), ("granted", 60))
    lines = (line_row(0, REG_PWD="secret", REG_EXPIRES=60),)
    ini = {"MODE_TIME_SYNC": 0}

    def test_the_date_of_the_granting_answer_sets_the_clock(self):
        self.assertTrue(self.wait_result(0, REGISTERED), self.gate.out[-3000:])
        # The registrar's 200 carries "Date: Thu, 10 Dec 2026 12:00:00 GMT" (its 401 none).
        cmd = "date -u 121012002026.00"
        self.assertTrue(wait_for(lambda: self.gate.read(0.05) or cmd in self.board.read("var/shell.log").decode()))
        self.assertTrue(wait_log(self.gate, gbk("[SystemTimeSync]-- Sip消息时间同步 !!!!SynTime     From[Thu, 10 Dec 2026 "
                                                "12:00:00 GMT] Dst[2026/12/10 12:00:00],cmd[%s]" % cmd)))
        self.assertEqual(self.board.read("var/shell.log").decode().count("date -u "), 1)


class AnsweringRegistrar(LineRegistration):
    """One line per kind of answer, on a board of nine lines."""
    scenario = "registrar_answers.xml"
    ini = {"SYS_COMP_MODE": 2}
    lines = tuple(line_row(i, REG_EXPIRES=10) for i in range(5))

    def test_each_answer_gives_its_result_and_retry(self):
        # (line, number, result, entry's Expires, seconds from the result to the next REGISTER
        # or None for no further REGISTER within the test)
        cases = [
            (0, "8001", FAILED, 10, 30),       # 403
            (1, "8002", FAILED, 10, 30),       # 488
            (2, "8003", REGISTERED, 20, None),  # 423 Min-Expires 20, asked again with it at once
            (3, "8004", TIMED_OUT, 10, 30),    # no answer: a time-out 10 s after the REGISTER
            (4, "8005", UNREGISTERED, 10, None),  # granted Expires 0
        ]
        port = self.registrar.port
        for line, tel, result, expires, _ in cases:
            with self.subTest(number=tel):
                self.assertTrue(wait_log(self.gate, result_entry(tel, port, expires, result), timeout=15),
                                log(self.board)[-3000:])
                self.assertEqual(self.result(line), result)
        # Every retry waits 30 s; the stamps count whole seconds of the board's clock.
        def retried():
            self.gate.read(0.05)
            data = log(self.board)
            return all(any(t > entry_times(data, result_entry(tel, port, expires, result))[0]
                           for t in entry_times(data, sent_entry(tel, expires)))
                       for _, tel, result, expires, retry in cases if retry is not None)
        self.assertTrue(wait_for(retried, timeout=60))
        self.gate.read(1.5)  # the refresh of the third line, 16 s after its 423, is due by now too
        data = log(self.board)
        # Granted 20 s after its 423, the third line refreshes at 16 s.
        self.assertIn(b"CntExpire[16]" + sent_entry("8003", 20), data)
        for line, tel, result, expires, retry in cases:
            if tel == "8003":
                continue
            with self.subTest(number=tel):
                done = entry_times(data, result_entry(tel, port, expires, result))
                sent = entry_times(data, sent_entry(tel, expires))
                if retry is None:
                    self.assertEqual([t for t in sent if t > done[0]], [])
                    continue
                later = [t for t in sent if t > done[0]]
                self.assertTrue(later, tel)
                self.assertIn(later[0] - done[0], (retry, retry + 1), tel)
        self.assertEqual(self.result(2), REGISTERED)
        regs = self.registers_from("8003")
        self.assertIn(b"Expires: 10\r\n", regs[0])
        self.assertIn(b"Expires: 20\r\n", regs[-1])
        # The silent registrar's line retries on the same registration (Call-ID).
        ids = {re.search(rb"Call-ID: *(\S+)", m).group(1) for m in self.registers_from("8004")}
        self.assertEqual(len(ids), 1)


class OwnSwitch(unittest.TestCase):
    """Both lines register with sipswitch on the same board, laid out as ./run.sh lays it out."""

    def run_board(self, settings_extra="", prepare=None):
        board = gate_board()
        try:
            if prepare:
                prepare(board)
            if settings_extra:
                with open(board.path("root/switch/sip_server.ini"), "a") as f:
                    f.write(settings_extra)
            sw = start_switch(board)
            gate = start_gate(board)
            self.assertTrue(gate.wait_ready(), gate.out[-2000:])
            seg = Segment()
            try:
                for line, tel in ((0, "8001"), (1, "8002")):
                    self.assertTrue(wait_for(lambda: gate.read(0.05) or seg.line_status(line)["register_result"] == REGISTERED,
                                             timeout=10), gate.out[-3000:] + sw.out[-3000:])
                    self.assertTrue(gate.wait_out(result_entry(tel, 5060, 60, REGISTERED)), gate.out[-3000:])
            finally:
                seg.remove()
                self.assertEqual(gate.stop()[0], 0)
                sw.stop()
        finally:
            board.close()

    def test_without_authentication(self):
        self.run_board()

    def test_with_authentication_and_the_lines_passwords_in_the_switch_database(self):
        self.run_board(prepare=switch_asks_line_passwords)


if __name__ == "__main__":
    main()

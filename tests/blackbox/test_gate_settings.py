"""Settings that take effect when the web configuration program changes them: the radio
channel, the log level filter and the clock synchronisation by NTP. Against the real program."""
from gate import chn_switch_entry, log, wait_log
from harness import gbk, main, wait_for
from test_gate_config import Reload


class RadioChannel(Reload):
    def test_radio_channel_from_the_setting(self):
        # Each row: the stored CHANNEL_SWITCH and the radio channel selected.
        for stored, channel in ((-1, 0), (15, 16), (16, 0), (-2, 0), (3, 4)):
            with self.subTest(stored=stored):
                since = self.gate.mark()
                self.edit(lambda: self.db.set_ini("CHANNEL_SWITCH", stored), "TBIni")
                self.assertTrue(self.gate.wait_out(b"| CHANNEL_SWITCH              | %d " % stored, since=since))
                self.assertTrue(self.gate.wait_out(chn_switch_entry(channel), since=since))


class LogLevel(Reload):
    def test_level_filter_is_a_number_compare(self):
        # Each row: LOG_LEVEL and whether the channel entry (level FLOW, 8) is then written.
        for level, written in ((4, False), (7, False), (8, True), (9, True), (1, False), (64, True)):
            with self.subTest(level=level):
                before = log(self.board).count(b"[Sys_ChnSwitch]")
                since = self.gate.mark()
                self.edit(lambda: self.db.set_ini("LOG_LEVEL", level), "TBIni")
                self.assertTrue(self.gate.wait_out(b"| LOG_LEVEL                   | %d " % level, since=since))
                def count():
                    self.gate.read(0.05)
                    return log(self.board).count(b"[Sys_ChnSwitch]") - before
                if written:
                    self.assertTrue(wait_for(lambda: count() >= 1))
                else:
                    self.gate.read(0.3)
                self.assertEqual(count(), 1 if written else 0)


class NtpSync(Reload):
    db_values = {"ini": {"MODE_TIME_SYNC": 1, "SYNC_TIME_EXPIRES": 120, "ADDR_NTP_SERVER": "ntp1.example-x.org"}}

    def test_ntp_client_is_started_with_the_server_and_refused_a_command_line(self):
        shell = self.board.read("var/shell.log")
        self.assertIn(b"killall ntpclient 2>/dev/null;ntpclient --timer 120 ntp1.example-x.org &\n", shell)
        self.assertIn(gbk("[SystemTimeSync]-- NtpClient时间同步 !!!!SynTime"), log(self.board))
        self.assertTrue(wait_log(self.gate, b"ntpclient --timer 120 ntp1.example-x.org", rel="var/standin.log"))

        self.edit(lambda: self.db.set_ini("ADDR_NTP_SERVER", "x;reboot"), "TBIni")
        self.assertTrue(wait_log(self.gate, gbk("[SystemTimeSync]-- NTP服务器地址[x;reboot]不合法")))
        self.assertNotIn(b"x;reboot", self.board.read("var/shell.log"))
        self.assertNotIn(b"reboot", self.board.read("var/standin.log"))


if __name__ == "__main__":
    main()

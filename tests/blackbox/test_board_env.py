"""radiogate on the simulated board: the board's start-up (lines, CPLD and driver versions,
start-up record, eth0, radio channel), COR reaching the lines through the hot line, the PTT
requests of each mode, the LEDs, the IP jumpers, the reset input, the four-wire board on its
serial peer (a pseudo-terminal at the board root's "/dev/ttyS2" or "/dev/ttyS3"), and the
serial settings table."""
import os
import re
import select
import subprocess
import time
import unittest

from gate import CFG_LOG, DB, gate_board, log, make_qvd_db, radio_chn_entry
from harness import ETH0_ADDR, gbk, main, start_gate, wait_for
from simboard import SimBoard
from webcfg import ConfigDb, Segment, segment_exists

STARTED = b"[ArmEnv_Init]-- IP["
FAILED = gbk("[main]<ERROR> : 系统初始化失败,系统退出......\n")
MODES = {"2W": 0, "4W": 1, "9W": 2, "4V": 3}
LINES = {"2W": 2, "4W": 4, "9W": 9, "4V": 4}
NEW_CARD, OLD_CARD = 12, 8  # CPLD versions


def hot_line_users(lines, hold_ms):
    """TB_USER rows of lines 0 .. lines-1 with the hot line on, and the hold time."""
    users = [dict(make_qvd_db.user_row(i), FLG_PTT_HTL=1) for i in range(lines)]
    return dict(lines=lines, users=users, ini={"T_PTT_HOT_TIME": hold_ms})


def fired(board, tel):
    return log(board).count(b"[ArmEnvReadCor]--User:[%s] , CorAbleValue:[1], Get Cor:[1]" % tel.encode())


class Peer:
    """A pseudo-terminal pair whose terminal side is linked at the board root's path."""

    def __init__(self, board, path):
        self.master, self.slave = os.openpty()
        os.set_blocking(self.master, False)
        os.symlink(os.ttyname(self.slave), board.path(path))
        self.got = b""

    def read(self, timeout=0.2):
        end = time.time() + timeout
        while time.time() < end:
            r, _, _ = select.select([self.master], [], [], 0.05)
            if r:
                try:
                    self.got += os.read(self.master, 4096)
                except BlockingIOError:
                    pass
        return self.got

    def wait(self, size, timeout=10.0):
        end = time.time() + timeout
        while len(self.got) < size and time.time() < end:
            self.read(0.1)
        return self.got

    def close(self):
        os.close(self.master)
        os.close(self.slave)


class BoardTest(unittest.TestCase):
    def setUp(self):
        self.boards = []

    def tearDown(self):
        for g, b, sim in self.boards:
            if g.poll() is None:
                self.assertEqual(g.stop()[0], 0)
            if sim:
                sim.close()
            b.close()
        if segment_exists():
            Segment().remove()

    def start(self, device="", mode="2W", peers=(), **db):
        """radiogate on a new board whose device starts with the given inputs, waited for
        until the board environment is up; (gate, board, control client, peers)."""
        db.setdefault("ini", {})
        db["ini"] = dict(db["ini"], SYS_COMP_MODE=MODES[mode])
        b = gate_board(**db)
        b.write("dev/AG0", device)
        ps = [Peer(b, p) for p in peers]
        g = start_gate(b)
        sim = SimBoard(b)
        self.boards.append((g, b, sim))
        self.assertTrue(g.wait_out(STARTED, timeout=15), g.out[-3000:])
        return g, b, sim, ps


class StartUp(BoardTest):
    def test_board_facts_versions_record_and_address(self):
        reason = "wdt; $(touch pwned) `touch pwned2` * > x"
        g, b, sim, _ = self.start(device="set cpld 9\nset driver AG0 drv 2.5\nset reason %s\n" % reason,
                                  mode="4V", ini={"CHANNEL_SWITCH": 6})
        flow = log(b)
        for text in ("进入4w模式", "CPLD 版本1.1以上[9]，使用1,2路490通道", "CPLD < 3.0, 设置为老板卡"):
            self.assertIn(gbk(text), flow)
        self.assertIn(radio_chn_entry(7), flow)  # 4V runs as 4W: the configured channel
        # The versions are written just after the board environment is up.
        self.assertTrue(wait_for(lambda: Segment().versions()["cpld"] != b"", timeout=15))
        versions = Segment().versions()
        self.assertEqual(versions["cpld"], b"2.1")
        self.assertEqual(versions["driver"], b"AG0 drv 2.5")
        # The reason is recorded as the driver gave it; nothing of it reached a shell.
        self.assertEqual(b.read("root/log/reboot.log"), (": " + reason + "\n").encode())
        self.assertFalse(b.exists("pwned") or b.exists("pwned2") or b.exists("x"))
        shell = b.read("var/shell.log").decode()
        self.assertIn("ifconfig eth0 %s\n" % ETH0_ADDR, shell)
        self.assertRegex(flow, rb"\[ArmEnv_Init\]-- IP\[%s\], HwAddr\[([0-9a-f]{2}:){5}[0-9a-f]{2}\], "
                         rb"NetMask\[255\.255\.255\.0\]" % re.escape(ETH0_ADDR.encode()))
        outputs = [t for _, t in sim.outputs()]
        self.assertIn("gpio_init variant=0", outputs)
        self.assertIn("error_led value=0 variant=0", outputs)
        # The COR read level of each line in use (two lines configured): from the configuration
        # as it is read, then again from the board's start-up.
        self.assertEqual([t for t in outputs if t.startswith("cor_level")],
                         ["cor_level chn=1 level=0", "cor_level chn=2 level=0"] * 2)
        self.assertIn("radio radio=1 channel=7", outputs)

    def test_the_record_keeps_one_line_per_start_after_the_minute_stamp(self):
        g, b, _, _ = self.start(device="set reason power lost\n")
        self.assertEqual(g.stop()[0], 0)
        b.write("root/log/newsdate", "Thu Dec 10  17:44:17 UTC 2026\n")
        g2 = start_gate(b)
        self.boards.append((g2, b, None))
        self.assertTrue(g2.wait_out(STARTED, timeout=15))
        self.assertEqual(b.read("root/log/reboot.log"),
                         b": power lost\nThu Dec 10 17:44:17 UTC 2026 : power lost\n")
        flow = log(b)
        self.assertIn(gbk("进入2w模式"), flow)
        self.assertNotIn(b"[ArmEnv_ChannelSwitch]--Switch Radio Chn", flow.split(gbk("进入2w模式"))[-1])

    def test_without_an_address_on_eth0_start_up_ends(self):
        subprocess.run(["ip", "link", "set", "eth0", "down"], check=True)
        subprocess.run(["ip", "link", "set", "eth0", "name", "eth9"], check=True)
        try:
            b = gate_board()
            g = start_gate(b)
            self.boards.append((g, b, None))
            g.finish()
            self.assertEqual(g.returncode, 255)
            self.assertTrue(g.stderr.endswith(b"Arm environment init fail\n" + FAILED), g.stderr)
            self.assertIn(b"Local Ip Get Failed... interface[eth0]", log(b, CFG_LOG))
        finally:
            subprocess.run(["ip", "link", "set", "eth9", "name", "eth0"], check=True)
            subprocess.run(["ip", "link", "set", "eth0", "up"], check=True)


class Cor(BoardTest):
    def test_cor_word_reaches_the_lines_by_card(self):
        # Each row: mode, CPLD version, COR word, the one line whose hot line it fires (None:
        # none). In 9W only line 7 reads COR, from bit 1, and no line has a hot line: every
        # line's bit set fires nothing.
        cases = [("4W", NEW_CARD, 0b1000, "8001"), ("4W", OLD_CARD, 0b1000, "8004"),
                 ("2W", NEW_CARD, 0b10, "8001"), ("2W", OLD_CARD, 0b10, "8002"),
                 ("9W", NEW_CARD, 0x1FF, None), ("9W", OLD_CARD, 0x1FF, None)]
        for mode, cpld, word, tel in cases:
            with self.subTest(mode=mode, cpld=cpld, word=word):
                lines = LINES[mode]
                g, b, sim, _ = self.start(device="set cpld %d\n" % cpld, mode=mode, **hot_line_users(lines, 100))
                sim.set("cor", word)
                if tel is not None:
                    self.assertTrue(wait_for(lambda: fired(b, tel) == 1))
                g.read(0.5)
                self.assertEqual([fired(b, str(8001 + i)) for i in range(lines)],
                                 [1 if str(8001 + i) == tel else 0 for i in range(lines)])
                g.stop()

    def test_hot_line_fires_once_per_cor_rise_and_the_leds_follow(self):
        g, b, sim, _ = self.start(mode="2W", **hot_line_users(2, 300))
        sim.outputs()
        sim.set("cor", 0b10)  # line 0 on the new card
        self.assertTrue(wait_for(lambda: fired(b, "8001") == 1))
        self.assertIn(gbk("[ArmEnvReadCor]-- 收到Cor信号，开始拨打热线"), log(b))
        g.read(1.0)
        self.assertEqual(fired(b, "8001"), 1)
        sim.set("cor", 0)
        leds = []

        def dark():
            g.read(0.01)
            leds.extend(t for _, t in sim.outputs() if t.startswith("cor1_led"))
            return leds and leds[-1] == "cor1_led value=0"
        self.assertTrue(wait_for(dark), leds[-5:])  # dark again once the carrier is gone
        self.assertEqual(leds[0], "cor1_led value=1")
        # Written on every sample, not only on a change (the board notes only the changes and
        # counts the writes): a second of carrier is many writes.
        writes = dict(kv.split("=") for kv in sim.send("led_writes").split())
        self.assertGreater(int(writes["cor1_led"]), 100)
        sim.set("cor", 0b10)
        self.assertTrue(wait_for(lambda: fired(b, "8001") == 2))
        self.assertEqual(fired(b, "8002"), 0)


class Ptt(BoardTest):
    def test_each_line_in_use_releases_its_ptt_through_its_modes_request(self):
        # Each row: mode, lines configured, the PTT requests of one pass over the lines as the
        # board records them, and the passes. Two lines have a request each; the other modes
        # name the line (line + 1) beside the value; a free line is left alone. A line's call
        # state ends when the configuration adds it and again when the line module starts;
        # 4V keys nothing until the board's start-up has made it 4W.
        cases = [("2W", 2, ["ptt1 value=0", "ptt2 value=0"], 2),
                 ("4W", 4, ["ptt chn=%d value=0" % c for c in range(1, 5)], 2),
                 ("4W", 2, ["ptt chn=1 value=0", "ptt chn=2 value=0"], 2),
                 ("4V", 4, ["ptt chn=%d value=0" % c for c in range(1, 5)], 1),
                 ("9W", 9, ["ptt chn=%d value=0" % c for c in range(1, 10)], 2)]
        for mode, lines, one_pass, passes in cases:
            with self.subTest(mode=mode, lines=lines):
                g, b, sim, _ = self.start(mode=mode, **hot_line_users(lines, 100))
                want, ptt = one_pass * passes, []

                def seen():
                    ptt.extend(t for _, t in sim.outputs() if t.startswith("ptt"))
                    return len(ptt) >= len(want)
                self.assertTrue(wait_for(seen, timeout=15), ptt)
                g.read(0.5)
                seen()
                self.assertEqual(ptt, want)
                g.stop()


class Leds(BoardTest):
    def test_run_led_blinks_status_leds_lit_while_unregistered_and_reset_input(self):
        g, b, sim, _ = self.start(mode="4W")
        sim.outputs()
        sim.set("reset", 0)
        outputs = []

        def reset_done():  # ten seconds of the reset input, however slowly they pass
            g.read(0.01)
            outputs.extend(t for _, t in sim.outputs())
            return outputs.count("buzzer value=1") >= 3 and len([t for t in outputs if t.startswith("led index=0 ")]) >= 9
        self.assertTrue(wait_for(reset_done, timeout=60), outputs[-20:])
        run = [t for t in outputs if t.startswith("led index=0 ")]
        self.assertGreaterEqual(len(run), 9)
        values = [t.split()[2] for t in run]
        self.assertTrue(all(a != c for a, c in zip(values, values[1:])), values)
        for line in (1, 2):
            self.assertIn("led index=%d value=1 variant=0" % line, outputs)
        self.assertFalse([t for t in outputs if t.startswith("led index=3")])  # a free line's LED
        # The reset input held for ten seconds: the fallback address and three beeps.
        self.assertIn("ifconfig eth0 192.168.1.100", b.read("var/shell.log").decode())
        self.assertEqual(outputs.count("buzzer value=1"), 3)


class Jumpers(BoardTest):
    def run_jumpers(self, interfaces, flag=1, until=None):
        """The gateway on a board with jumpers set; waits for until on its console when given,
        and then (or else) watches it a further 2.5 s."""
        b = gate_board(ini={"FLAG_RESET_IP": flag})
        b.write("root/interfaces", interfaces)
        b.write("dev/AG0", "set jumpers 3\n")
        g = start_gate(b)
        self.boards.append((g, b, None))
        self.assertTrue(g.wait_out(STARTED, timeout=15))
        if until is not None:
            self.assertTrue(g.wait_out(until, timeout=15), g.out[-2000:])
        g.read(2.5)
        return g, b

    def test_a_different_address_line_is_rewritten_and_the_board_reboots(self):
        g, b = self.run_jumpers("auto eth0\nip=10.0.0.9\n# ip=kept as it is\n", until=b"Reboot system ,val[1]\n")
        self.assertEqual(b.read("root/interfaces"), b"auto eth0\nip=192.168.1.1\n# ip=kept as it is\n")
        self.assertIn("/sbin/reboot\n", b.read("var/shell.log").decode())
        self.assertIn(b"Reboot system ,val[1]\n", g.out)

    def test_the_same_line_is_left_and_the_step_never_runs_again(self):
        g, b = self.run_jumpers("ip=192.168.1.1\n", until=b"FILE close /root/interfaces\n")
        self.assertEqual(g.out.count(b"/root/interfaces file open succ\n"), 1)
        self.assertNotIn("/sbin/reboot", b.read("var/shell.log").decode())

    def test_nothing_happens_without_the_setting(self):
        g, b = self.run_jumpers("ip=10.0.0.9\n", flag=0)
        self.assertEqual(b.read("root/interfaces"), b"ip=10.0.0.9\n")
        self.assertNotIn(b"/root/interfaces", g.out)


class FourWire(BoardTest):
    def test_status_frames_arrive_byte_for_byte(self):
        g, b, sim, (peer,) = self.start(device="set line4 0 0 0 0\n", peers=["dev/ttyS2"])
        sim.set("line4", "1 0 0 1")
        self.assertEqual(peer.wait(10), bytes.fromhex("68 01 01 01 95 EC 00 01 01 10"))
        g.read(1.5)
        self.assertEqual(peer.read(), bytes.fromhex("68 01 01 01 95 EC 00 01 01 10"))  # no change, no frame
        sim.set("line4", "0 0 0 0")
        self.assertEqual(peer.wait(20)[10:], bytes.fromhex("68 01 01 01 8B EC 00 01 0B 10"))
        peer.close()

    def test_old_card_register_frames_per_channel_under_route_and_lock(self):
        g, b, sim, (peer,) = self.start(device="set cpld 8\n", peers=["dev/ttyS3"])
        got = peer.wait(2 * 42 * 7)
        frames = [got[i:i + 7] for i in range(0, len(got), 7)]
        self.assertEqual(len(frames), 84)
        self.assertTrue(all(f[:3] == b"\xfc\xf3\x3b" for f in frames))
        self.assertEqual(frames[0], bytes.fromhex("FC F3 3B 1E 0F 5A 00"))
        self.assertEqual(frames[41], bytes.fromhex("FC F3 3B 1E 3A 00 00"))
        self.assertEqual(frames[:42], frames[42:])  # the same set-up for each channel
        steps = [t for _, t in sim.outputs() if t.startswith(("uart", "lock", "line4_reset"))]
        self.assertEqual(steps, ["line4_reset",
                                 "uart chn=1 variant=1", "lock value=1 variant=1", "lock value=0 variant=1",
                                 "uart chn=2 variant=1", "lock value=1 variant=1", "lock value=0 variant=1"])
        peer.close()

    def test_new_card_set_up_writes_the_volumes(self):
        g, b, sim, _ = self.start(mode="4W")
        gpio = [t for _, t in sim.outputs() if t.startswith("gpio ")]
        self.assertEqual(gpio, ["gpio chip=1 pin=52 value=287", "gpio chip=1 pin=15 value=496",
                                "gpio chip=1 pin=53 value=287", "gpio chip=1 pin=16 value=496",
                                "gpio chip=2 pin=52 value=287", "gpio chip=2 pin=15 value=496",
                                "gpio chip=2 pin=53 value=287", "gpio chip=2 pin=16 value=496"])


class SerialSettings(BoardTest):
    def test_a_changed_setting_reopens_its_port(self):
        g, b, sim, (peer,) = self.start(peers=["dev/ttyS1"])
        self.assertIn(gbk("打开串口[/dev/ttyS1]成功"), g.out)  # opened at start-up
        since = g.mark()
        seg, db = Segment(), ConfigDb(b.path(DB))
        with seg.locked():
            db.set_ini("COM1_BAUD", 19200, table="TB_SERIAL_CFG")
            seg.raise_flag("TBSerialCfg")
        self.assertTrue(g.wait_out(gbk("设置串口打开成功\n"), since=since))
        stty = subprocess.run(["stty", "-F", b.path("dev/ttyS1")], capture_output=True, text=True).stdout
        self.assertIn("speed 19200 baud", stty)
        seg.detach()
        peer.close()


if __name__ == "__main__":
    main()

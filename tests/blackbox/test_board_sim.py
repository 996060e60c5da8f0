"""The simulated board, driven through its control socket while a program uses the real
request wrappers on it: inputs reach the program, outputs are recorded, and the DSP's
host-port memory passes (or, without DSP, fails) the start-up memory test."""
import contextlib
import os
import stat
import subprocess
import tempfile
import unittest

from harness import MAKE_BOARD, Board, main, run_tool, start_tool
from simboard import SimBoard


class Probe:
    """board_probe: one wrapper per line on its standard input, one result line back."""

    def __init__(self, board):
        self.p = start_tool("board_probe", board, stdin=subprocess.PIPE)
        self.buf = b""
        first = self._line()
        if first != "ready":
            raise AssertionError("probe did not start: %r" % first)

    def _line(self):
        while b"\n" not in self.buf:
            chunk = os.read(self.p.stdout.fileno(), 65536)
            if not chunk:
                raise AssertionError("probe ended")
            self.buf += chunk
        line, _, self.buf = self.buf.partition(b"\n")
        return line.decode()

    def _send(self, command):
        self.p.stdin.write((command + "\n").encode())
        self.p.stdin.flush()

    def ask(self, command):
        self._send(command)
        return self._line()

    def ask_lines(self, command, prefix):
        """Sends command; every line up to the one that begins with prefix."""
        self._send(command)
        lines = []
        while not lines or not lines[-1].startswith(prefix):
            lines.append(self._line())
        return lines

    def quit(self):
        if self.p.poll() is not None:
            return self.p.returncode
        self.p.stdin.write(b"quit\n")
        self.p.stdin.flush()
        self.p.stdin.close()
        return self.p.wait(timeout=10)


@contextlib.contextmanager
def probe_on_board(device_lines=""):
    """A scratch board whose device file holds device_lines, the probe running on it and a
    control client; the probe is told to quit at the end."""
    with Board() as b:
        if device_lines:
            b.write("dev/AG0", device_lines)
        probe = Probe(b)
        with SimBoard(b) as sim:
            if not sim.wait_ready():
                raise AssertionError("no control socket")
            yield b, probe, sim
        probe.quit()


class Inputs(unittest.TestCase):
    def test_start_up_lines_of_the_device_file_and_inputs_set_while_running(self):
        lines = "# first generation board\nset cpld 8\nset driver AG0 v2.3\nset reason watchdog\n"
        with probe_on_board(lines) as (b, probe, sim):
            self.assertEqual(probe.ask("cpld"), "cpld 8")
            self.assertEqual(probe.ask("driver"), "driver 0 AG0 v2.3")
            self.assertEqual(probe.ask("reason"), "reason 0 watchdog")
            self.assertEqual(probe.ask("cor"), "cor 0")
            self.assertEqual(probe.ask("reset"), "reset 1")

            sim.set("cor", "0x5")
            sim.set("power", "3")
            sim.set("reset", "0")
            sim.set("jumpers", "9")
            sim.set("line4", "1 0 0 1")
            self.assertEqual(probe.ask("cor"), "cor 5")
            self.assertEqual(probe.ask("power"), "power 3")
            self.assertEqual(probe.ask("reset"), "reset 0")
            self.assertEqual(probe.ask("jumpers"), "jumpers 9")
            self.assertEqual([probe.ask("line4 %d" % i) for i in (1, 2, 3, 4)],
                             ["line4 1", "line4 0", "line4 0", "line4 1"])
            self.assertEqual(sim.send("set cor lots"), "error: bad number")
            self.assertEqual(probe.quit(), 0)
            self.assertFalse(b.exists("dev/AG0.ctl"))


class Outputs(unittest.TestCase):
    def test_every_output_is_recorded_in_order_with_its_time(self):
        with probe_on_board() as (_, probe, sim):
            for cmd in ("devtype 0", "ptt 2 1", "ptt 2 0", "led 1 0", "led 1 3", "errled 0",
                        "buzzer 1", "buzzer 0", "radio 5", "uart 3", "lock 1", "lock 0",
                        "gpio 1 52 287", "setcor 1 1", "line4reset", "gpioinit",
                        "devtype 1", "ptt1 1", "ptt2 1", "corled1 1", "corled2 0", "setcor 2 1"):
                self.assertEqual(probe.ask(cmd).split()[-1], "287" if cmd.startswith("gpio ") else "0", cmd)
            entries = sim.outputs()
            self.assertEqual([text for _, text in entries], [
                "ptt chn=3 value=1", "ptt chn=3 value=0",
                "led index=0 value=1 variant=0", "led index=3 value=1 variant=0",
                "error_led value=0 variant=0", "buzzer value=1", "buzzer value=0",
                "radio radio=1 channel=5", "uart chn=3 variant=0",
                "lock value=1 variant=0", "lock value=0 variant=0",
                "gpio chip=1 pin=52 value=287", "cor_level chn=1 level=1",
                "line4_reset", "gpio_init variant=0",
                # the two-line board: its own PTT and COR LED requests, no COR read level
                "ptt1 value=1", "ptt2 value=1", "cor1_led value=1", "cor2_led value=0",
            ])
            stamps = [ms for ms, _ in entries]
            self.assertEqual(stamps, sorted(stamps))
            self.assertEqual(sim.outputs(), [])


class DspMemory(unittest.TestCase):
    def test_memory_test_passes_and_fails_without_dsp(self):
        with probe_on_board() as (_, probe, sim):
            self.assertEqual(probe.ask("memtest"), "memtest 0")
            self.assertEqual([t for _, t in sim.outputs()],
                             ["dsp_reset device=0 on=1", "dsp_reset device=0 on=0"])
            sim.set("dsp", "off")
            self.assertEqual(probe.ask_lines("memtest", "memtest"), [
                "Test Error : Ac49xShortIoTest addr[0x200012] rData[0xffff] ",
                "memtest -1",
            ])
            sim.set("dsp", "on")
            self.assertEqual(probe.ask("memtest"), "memtest 0")


class Dsp(unittest.TestCase):
    def test_dsp_commands_over_the_control_socket(self):
        with probe_on_board() as (_, probe, sim):
            self.assertEqual(sim.send("counter"), "requests=0")
            self.assertEqual(probe.ask("memtest"), "memtest 0")
            # the reset pulse, then five 64 KiB blocks written and read back word by word
            self.assertEqual(sim.send("counter"), "requests=%d" % (2 + 5 * 2 * 32768))
            # events need a running DSP; the memory test leaves plain memory
            self.assertEqual(sim.send("event 0 dtmf 5"), "error: the DSP is not running")
            for command in ("fault stall", "fault syserror 7 2", "fault none", "trace host",
                            "chan 3 source tone", "chan 3 inject d5d5", "advance 20"):
                self.assertEqual(sim.send(command), "ok", command)
            self.assertTrue(sim.send("chan 3").startswith("open=0 rtp=0 pt=8 frame=20 "))
            self.assertEqual(sim.send("fault corrupt sideways"),
                             "error: corrupt takes sync, long, huge, window or short")
            self.assertEqual(sim.send("chan 3 inject d5d"), "error: inject takes hexadecimal bytes")
            self.assertEqual(sim.send("chan 99"), "error: bad channel")


class Device(unittest.TestCase):
    def test_no_device_file_is_a_failed_open_and_nothing_is_created(self):
        with Board() as b:
            if b.exists("dev/AG0"):
                os.unlink(b.path("dev/AG0"))
            r = run_tool("board_probe", b)
            self.assertEqual(r.returncode, 1)
            self.assertIn(b"open device failed", r.stderr)
            self.assertFalse(b.exists("dev/AG0"))

    def test_make_board_lays_out_a_plain_device_file_and_keeps_what_is_there(self):
        with tempfile.TemporaryDirectory() as root:
            subprocess.run([MAKE_BOARD, root], check=True, stdout=subprocess.DEVNULL)
            dev = os.path.join(root, "dev", "AG0")
            self.assertTrue(stat.S_ISREG(os.stat(dev).st_mode))
            kept = {dev: "set cpld 5\n", os.path.join(root, "var", "www", "QVD.db"): "edited\n",
                    os.path.join(root, "root", "switch", "sip_server.ini"): "sip_debug=0\n"}
            for path, text in kept.items():
                self.assertTrue(os.path.getsize(path) > 0 or path == dev, path)
                with open(path, "w") as f:
                    f.write(text)
            subprocess.run([MAKE_BOARD, root], check=True, stdout=subprocess.DEVNULL)
            for path, text in kept.items():
                with open(path) as f:
                    self.assertEqual(f.read(), text, path)

    def test_make_board_lays_out_firmware_images_and_keeps_them(self):
        with tempfile.TemporaryDirectory() as root:
            subprocess.run([MAKE_BOARD, root], check=True, stdout=subprocess.DEVNULL)
            profile = os.path.join(root, "root", "profile")
            for name in ("kernel", "program", "kernel_16", "program_16", "kernel_20", "program_20"):
                with open(os.path.join(profile, name), "rb") as f:
                    self.assertEqual(f.read(5), b"AC49x", name)
            with open(os.path.join(profile, "program"), "wb") as f:
                f.write(b"own image")
            subprocess.run([MAKE_BOARD, root], check=True, stdout=subprocess.DEVNULL)
            with open(os.path.join(profile, "program"), "rb") as f:
                self.assertEqual(f.read(), b"own image")


if __name__ == "__main__":
    main()

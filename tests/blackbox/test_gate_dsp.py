"""radiogate's DSP start-up on the simulated board: the DSP tested, booted and set up with the
resource channels counted, a board without DSP, missing firmware, and the DSP debug stream
that mirrors every packet the driver moves to a UDP address."""
import os
import socket
import struct
import unittest

from call_parties import port_taken
from gate import CFG_LOG, FLOW_LOG, gate_board, log, wait_log
from harness import free_port, gbk, main, start_gate, wait_for
from simboard import SimBoard

FAILED = gbk("[main]<ERROR> : 系统初始化失败,系统退出......\n")
DEBUG_PORT = 8989  # the gateway's own end of the debug stream


def channels_entry(n):
    return gbk("共有 [ %d ] 资源通道可用" % n)


def started(gate, n):
    return wait_log(gate, channels_entry(n), CFG_LOG)


class StartUp(unittest.TestCase):
    def test_dsp_is_booted_set_up_and_each_line_opens_its_channel(self):
        with gate_board() as b:
            gate = start_gate(b)
            self.assertTrue(started(gate, 12), gate.stdout[-2000:])
            cfg = log(b, CFG_LOG)
            self.assertIn(gbk("****************第[1]块芯片启动成功****************"), cfg)
            with SimBoard(b) as sim:
                texts = [text for _, text in sim.outputs()]
                # The board's CPLD puts line n on DSP channel n + 1.
                for line in (0, 1):
                    entry = gbk("[UserOpenResChannel]--获取的资源通道为ChnRes[%d] , ChnDsp[%d]" % (line, line + 1))
                    self.assertIn(entry, log(b, FLOW_LOG))
                    # The open command reaches the DSP through the driver's queue, after the entry.
                    chan = "chan %d" % (line + 1)
                    self.assertTrue(wait_for(lambda: "open=1 " in sim.send(chan)), sim.send(chan))
                self.assertIn("open=0 ", sim.send("chan 0"))
            # reset, memory test, boot: the kernel, then every program block good, then running
            self.assertIn("dsp_reset device=0 on=1", texts)
            self.assertIn("dsp_running", texts)
            self.assertIn("dsp_block status=1", texts)
            self.assertNotIn("dsp_block status=2", texts)
            # Without a debug port the gateway does not hold the debug stream's port.
            self.assertFalse(port_taken(DEBUG_PORT))
            code, err = gate.stop()
            self.assertEqual(code, 0, err)

    def test_without_dsp_the_gateway_runs_with_no_channels(self):
        with gate_board() as b:
            b.write("dev/AG0", "set dsp off\n")
            gate = start_gate(b)
            self.assertTrue(started(gate, 0), gate.stdout[-2000:])
            self.assertIn(gbk("自动检测  --> 490 第[0]芯片 不存在"), log(b, CFG_LOG))
            self.assertTrue(gate.wait_out(b"Test Error : Ac49xShortIoTest addr[0x200012] rData[0xffff] \n"),
                            gate.stdout[-2000:])
            gate.read(1.0)
            self.assertIsNone(gate.poll(), "the gateway ended without its DSP")
            code, err = gate.stop()
            self.assertEqual(code, 0, err)

    def test_missing_firmware_fails_the_start_up(self):
        for name in ("kernel", "program"):
            with self.subTest(name=name), gate_board() as b:
                os.remove(b.path("root/profile", name))
                r = start_gate(b).finish()
                self.assertNotEqual(r.returncode, 0)
                self.assertIn(b"Get file /root/profile/%s info failed\n" % name.encode(), r.stdout)
                self.assertIn(gbk("Get %s buff from file /root/profile/%s failed, 确认文件是否存在" % (name, name)),
                              log(b, FLOW_LOG))
                self.assertEqual(r.stderr, b"AC490 init fail\nUser module init fail\n" + FAILED)


    def test_a_truncated_program_image_is_named_as_such_and_the_gateway_runs_without_dsp(self):
        with gate_board() as b:
            path = b.path("root/profile", "program")
            with open(path, "rb") as f:
                image = f.read()
            with open(path, "wb") as f:
                f.write(image[:len(image) - 3])
            gate = start_gate(b)
            self.assertTrue(started(gate, 0), gate.stdout[-2000:])
            self.assertIn(gbk("490 第[1]芯片 Boot failed, Reason[Boot image truncated]"), log(b, CFG_LOG))
            code, err = gate.stop()
            self.assertEqual(code, 0, err)


class Instruments(unittest.TestCase):
    """The simulated DSP's instruments through the tests' board client, on a running gateway."""

    def test_the_gateways_channels_are_taken_and_digits_reach_the_line_logic(self):
        with gate_board() as b:
            gate = start_gate(b)
            self.assertTrue(started(gate, 12), gate.stdout[-2000:])
            with SimBoard(b) as sim:
                ch = sim.dsp(0)
                state = sim.chan(ch)
                self.assertEqual((state["open"], state["refused"], state["tone_sig"]), (1, 0, -1), state)
                self.assertEqual(sim.chan(sim.dsp(1))["open"], 1)
                self.assertEqual(sim.ptt(), 0)
                sim.digits(ch, "1#", 20)
                for digit in (1, 11):
                    entry = gbk("iResChn[%d], c_iDeviceID[%d], pIbsEvent->Digit[%d]\n" % (ch, 0, digit))
                    self.assertTrue(wait_log(gate, entry, FLOW_LOG), digit)
                self.assertEqual(sim.entries("dsp_refused"), [], "the gateway's own packets are all taken")
                self.assertEqual(sim.cor_bit(2), 2)
            code, err = gate.stop()
            self.assertEqual(code, 0, err)


def debug_board(port, lines=2):
    b = gate_board(lines=lines, ini={"DEBUG_IP_DSP": "127.0.0.1", "DEBUG_PORT_DSP": port})
    b.write("dev/AG0", "trace host\n")  # the board records from its first request on
    return b


def unhex(text):
    return bytes.fromhex(text)


class DebugStream(unittest.TestCase):
    def test_every_non_rtp_packet_is_mirrored_in_order_byte_for_byte(self):
        port = free_port()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as rx, debug_board(port) as b:
            rx.bind(("127.0.0.1", port))
            # Quiet for a whole second: a loaded machine may pause the gateway between packets.
            rx.settimeout(1.0)
            gate = start_gate(b)
            self.assertTrue(started(gate, 12), gate.stdout[-2000:])
            gate.read(0.5)  # the lines open their channels after the count
            got, traced = [], []
            with SimBoard(b) as sim:
                # Read the stream and the board's record in turn until neither has anything
                # new: a packet the board took after one look is still mirrored by the next.
                for _ in range(20):
                    more = []
                    while True:
                        try:
                            more.append(rx.recv(65536))
                        except socket.timeout:
                            break
                    new = [dict(kv.split("=", 1) for kv in text.split(" ")[1:]) | {"dir": text.split(" ")[0]}
                           for _, text in sim.outputs() if text.startswith(("dsp_in ", "dsp_out "))]
                    got += more
                    traced += new
                    if not more and not new:
                        break
            self.assertTrue(port_taken(DEBUG_PORT))
            gate.stop()

        self.assertGreater(len(got), 10)
        sent, received = [], []
        for i, d in enumerate(got):
            head, packet = d[:16], d[16:]
            direction = head[2] >> 7
            self.assertEqual(head, struct.pack(">BBBBHHII", 2, 88, direction << 7 | 0x0A, 0, i, 0, 10 * i, 0), i)
            self.assertNotEqual(packet[3] & 0x3F, 1, "an RTP packet was mirrored")
            (received if direction else sent).append(packet)

        # What the board's DSP took from the host and gave it, as it recorded them.
        taken = [t for t in traced if t["dir"] == "dsp_in"]
        given = [t for t in traced if t["dir"] == "dsp_out"]
        self.assertEqual(len(sent), len(taken))
        for packet, t in zip(sent, taken):
            self.assertEqual(len(packet), int(t["len"]))
            self.assertEqual(packet[:64], unhex(t["data"]))
        self.assertLessEqual(len(received), len(given))
        for packet, t in zip(received, given):
            self.assertEqual(len(packet), int(t["len"]))
            self.assertEqual(packet[:64], unhex(t["data"]))

        # The set-up: five device configuration packets (category 0), each echoed byte for
        # byte before the next goes out; then each line's channel opening (category 1).
        self.assertEqual([p[5] & 3 for p in sent[:5]], [0] * 5)
        self.assertEqual([p[5] >> 2 for p in sent[:5]], [0, 1, 2, 4, 6])
        order = [(head[2] >> 7, d[16:]) for d in got for head in [d[:16]]]
        for k in range(5):
            self.assertEqual(order[2 * k], (0, sent[k]))
            self.assertEqual(order[2 * k + 1], (1, sent[k]), "echo of set-up packet %d" % k)
        self.assertEqual([p[5] & 3 for p in sent[5:]], [1] * (len(sent) - 5))

    def test_a_busy_debug_port_turns_the_stream_off_and_the_gateway_runs_on(self):
        port = free_port()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder, \
                socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as rx, debug_board(port) as b:
            holder.bind(("0.0.0.0", DEBUG_PORT))
            rx.bind(("127.0.0.1", port))
            rx.settimeout(0.5)
            gate = start_gate(b)
            self.assertTrue(started(gate, 12), gate.stdout[-2000:])
            gate.read(1.0)
            self.assertIsNone(gate.poll())
            busy = b"[Res490FlushPacketToNet]-- local port 8989 busy, DSP debug stream off"
            self.assertEqual(log(b, CFG_LOG).count(busy), 1)
            with self.assertRaises(socket.timeout):
                rx.recv(65536)
            code, err = gate.stop()
            self.assertEqual(code, 0, err)


if __name__ == "__main__":
    main()

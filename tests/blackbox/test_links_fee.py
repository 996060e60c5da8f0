"""A billing server on the billing link of the running switch: the keepalive, the check, start
and stop records of calls, and refusals that release a call or do not."""
import socket
import struct
import time
import unittest

from call_parties import Phone, Sipp, Switch, first_line
from harness import Board, free_port, gbk, main, start_switch
from link_peers import TcpPeer, number_field

KEEPALIVE = b"\xf5\x01\x01\x07\x00\x00"


def record(kind, calling, called, chn, reason=0):
    return (struct.pack(">BBBBH", 0xF5, 0, 3, kind, 60) + number_field(calling) + number_field(called) +
            struct.pack(">H", chn) + bytes([reason]) + b"\0" * 7)


class Billing(unittest.TestCase):
    def setUp(self):
        self.port = free_port(socket.SOCK_STREAM)
        self.sw = Switch("sip_fee_enable=1\nsip_fee_check=1\nsip_fee_port=%d\n" % self.port)
        self.server = TcpPeer(self.port)

    def tearDown(self):
        self.server.close()
        self.assertEqual(self.sw.close(), 0)

    def records(self, count, timeout=10):
        """The next count records of the switch, keepalives left out."""
        out = []
        end = time.time() + timeout
        while len(out) < count and time.time() < end:
            head = self.server.read(6, timeout=end - time.time())
            if head == KEEPALIVE:
                continue
            out.append(head + self.server.read(60))
        return out

    def test_keepalive_every_two_seconds(self):
        first = self.server.read(6, timeout=4)
        t0 = time.time()
        self.assertEqual(first, KEEPALIVE)
        self.assertEqual(self.server.read(6, timeout=4), KEEPALIVE)
        self.assertAlmostEqual(time.time() - t0, 2.0, delta=0.9)
        # A newer billing connection replaces this one.
        newer = TcpPeer(self.port)
        self.addCleanup(newer.close)
        self.assertTrue(self.server.closed_by_switch(timeout=4))
        self.assertEqual(newer.read(6, timeout=4), KEEPALIVE)

    def test_check_start_and_stop_of_a_call(self):
        self.assertEqual(self.server.read(6, timeout=4), KEEPALIVE)
        keys = [("calling", "821"), ("called", "822")]
        uas = Sipp(self.sw, "call_uas.xml", "822", keys)
        uac = Sipp(self.sw, "call_uac.xml", "821", keys)
        self.assertEqual(uac.result()[0], 0)
        self.assertEqual(uas.result()[0], 0)
        check, start, stop = self.records(3)
        chn = struct.unpack(">H", check[56:58])[0]
        self.assertEqual(check, record(0, b"821", b"822", chn))
        self.assertEqual(start, record(3, b"821", b"822", chn))
        self.assertEqual(stop, record(4, b"821", b"822", chn))

    def ringing_call(self):
        # The connection is surely taken once its first keepalive is out.
        self.assertEqual(self.server.read(6, timeout=4), KEEPALIVE)
        a, b = Phone(self.sw, b"831"), Phone(self.sw, b"832")
        self.addCleanup(a.close)
        self.addCleanup(b.close)
        a.send(a.request(b"INVITE", b"fee1", b"832", 1, b"v=0\r\nc=IN IP4 127.0.0.1\r\nm=audio 4000 RTP/AVP 8\r\n"))
        self.assertEqual(first_line(a.recv()), b"SIP/2.0 100 Trying")
        invite = b.recv()
        b.reply(invite, b"180 Ringing")
        self.assertEqual(first_line(a.recv()), b"SIP/2.0 180 Ringing")
        (check,) = self.records(1)
        return a, b, struct.unpack(">H", check[56:58])[0]

    def test_refusals(self):
        a, b, chn = self.ringing_call()
        # Not handled: another reason, or numbers of another call, or a record cut short.
        for r in (record(2, b"831", b"832", chn, 102), record(2, b"831", b"899", chn, 101),
                  record(2, b"831", b"832", chn, 101)[:40]):
            self.server.send(r)
            self.assertTrue(a.silent(1.5) and b.silent(0.1))
        # The rest of the record arrives: the whole refusal releases both parties.
        self.server.send(record(2, b"831", b"832", chn, 101)[40:])
        self.assertEqual(first_line(b.recv(3)), b"CANCEL sip:832@127.0.0.1:%d SIP/2.0" % self.sw.port)
        self.assertEqual(first_line(a.recv(3)), b"SIP/2.0 488 Not Acceptable Here")

    def test_malformed_records_leave_the_switch_running(self):
        for junk in (b"\xf5\x00\x03\x02\x00\x00", b"\xf5\x00\x03\x02\xff\xff" + b"x" * 50, b"\x00" * 100,
                     record(2, b"", b"", 65535, 101)):
            self.server.send(junk)
        time.sleep(1.5)
        self.assertIsNone(self.sw.prog.poll())
        self.assertEqual(self.server.read(6, timeout=3)[:1], b"\xf5")


class Listeners(unittest.TestCase):
    def test_taken_port_ends_start_up(self):
        for key, text in (("sip_fee_port", "error:计费绑定端口 %d 出错！\n"),
                          ("soft_rtpswitch_localport", "error:包转发服务器绑定端口 %d 出错!\n")):
            with socket.socket() as taken, Board() as b:
                taken.bind(("0.0.0.0", 0))
                taken.listen()
                port = taken.getsockname()[1]
                b.write_settings("sip_server_local_port=%d\n%s=%d\n" % (free_port(), key, port))
                r = start_switch(b, wait=False).finish()
                self.assertEqual(r.returncode, 255)
                self.assertTrue(r.stdout.endswith(gbk(text % port)), r.stdout)


if __name__ == "__main__":
    main()

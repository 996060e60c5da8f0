"""The network monitor and the SIP monitor of the running switch: heartbeats, registration
listings, log mirroring, standby and its end. The SIP monitor is always answered at port 8002,
so this script holds that port (a CTest resource lock)."""
import os
import re
import socket
import subprocess
import unittest

from call_parties import Switch, first_line, register
from harness import free_port, main
from link_peers import UdpPeer

SIPMON_REPLY_PORT = 8002


def identity():
    """eth0's MAC address as the switch names itself (sysfs shows the host's, not this namespace's)."""
    out = subprocess.run(["ip", "-o", "link", "show", "eth0"], capture_output=True, check=True).stdout
    return re.search(rb"link/ether ([0-9a-f:]{17})", out).group(1).replace(b":", b"").upper()


class Monitors(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.netmon_port, cls.sipmon_port = free_port(), free_port()
        cls.sw = Switch("sip_netmon_enable=1\nSip_netmon_port=%d\nsip_monitor_port=%d\n"
                        % (cls.netmon_port, cls.sipmon_port), debug=1)
        cls.mon = UdpPeer()
        cls.sipmon_out = UdpPeer()
        cls.sipmon_in = UdpPeer(SIPMON_REPLY_PORT)
        cls.phones = {}

    @classmethod
    def tearDownClass(cls):
        for p in (cls.mon, cls.sipmon_out, cls.sipmon_in):
            p.close()
        assert cls.sw.close() == 0

    def ask(self, text, count=1, timeout=3.0):
        self.mon.send(text, self.netmon_port)
        return [self.mon.recv(timeout) for _ in range(count)]

    def sipmon(self, text):
        self.sipmon_out.send(text, self.sipmon_port)

    def reg(self, number):
        port = free_port()
        self.assertEqual(first_line(register(self.sw, number, port)), b"SIP/2.0 200 OK")
        return port

    def test_heartbeats(self):
        self.assertEqual(self.ask(b"r_heartbeat\r\n"), [b"a_heartbeat demo version:v1\r\n"])
        self.sipmon(b"r_heartbeat\r\n")
        self.assertEqual(self.sipmon_in.recv(3), b"a_heartbeat softswitch softswitch_V4.1.7_Record_20080808 "
                                                 b"softswitch  softswitch:" + identity() + b"\r\n")

    def test_listings(self):
        p1, p2 = self.reg(b"881"), self.reg(b"882")
        line = lambda n, p: b"a_softswitch_reg tel %s register sipuser 127.0.0.1:%d free\r\n" % (n, p)
        start, batch, finish = self.ask(b"r_softswitch_reg\r\n", 3)
        self.assertEqual(start, b"a_softswitch_reg start \r\n")
        self.assertIn(line(b"881", p1) + line(b"882", p2), batch)
        self.assertEqual(finish, b"a_softswitch_reg finish \r\n")
        self.assertEqual(self.ask(b"r_softswitch_reg count 30\r\n", timeout=1), [None])
        self.assertEqual(self.ask(b"r_softswitch_reg  tel  881\r\n"), [line(b"881", p1)])
        self.assertEqual(self.ask(b"r_softswitch_reg tel 999\r\n"), [b"a_softswitch_reg tel 999 unregister \r\n"])
        # The SIP monitor: one datagram per registration, with the switch's identity.
        self.sipmon_in.recv_all(0.3)
        self.sipmon(b"r_allstatus\r\n")
        got = self.sipmon_in.recv_all(1.0)
        me = b" softswitch:" + identity()
        self.assertEqual(got[0], b"a_allstatus start" + me + b"\r\n")
        self.assertEqual(got[1], b"a_softswitch_reg start" + me + b"\r\n")
        self.assertIn(b"a_softswitch_reg tel:881 register sipuser 127.0.0.1:%d free%s\r\n" % (p1, me), got)
        self.assertEqual(got[-2:], [b"a_softswitch_reg finish" + me + b"\r\n", b"a_allstatus end" + me + b"\r\n"])
        # A new registration is reported at once.
        p3 = self.reg(b"883")
        self.assertEqual(self.sipmon_in.recv(3), b"a_softswitch_reg tel:883 register sipuser 127.0.0.1:%d free%s\r\n"
                         % (p3, me))

    def test_long_listing_is_sent_before_the_batch_fills(self):
        numbers = [b"5%019d" % i for i in range(60)]
        ports = {n: self.reg(n) for n in numbers}
        self.mon.send(b"r_softswitch_reg count 200\r\n", self.netmon_port)
        got = self.mon.recv_all(1.5)
        self.assertEqual(got[0], b"a_softswitch_reg start \r\n")
        self.assertEqual(got[-1], b"a_softswitch_reg finish \r\n")
        self.assertTrue(all(len(d) <= 4000 for d in got))
        body = b"".join(got[1:-1])
        for n in numbers:
            self.assertIn(b"a_softswitch_reg tel %s register sipuser 127.0.0.1:%d free\r\n" % (n, ports[n]), body)

    def test_log_mirror(self):
        self.assertEqual(self.ask(b"r_setprintf\r\n"), [b"a_setprintf\r\n"])
        self.reg(b"884")
        mirrored = b"".join(self.mon.recv_all(0.5))
        self.assertIn(b"REGISTER sip:127.0.0.1 SIP/2.0", mirrored)
        self.mon.send(b"r_stopprintf\r\n", self.netmon_port)
        self.mon.recv_all(0.5)
        self.reg(b"885")
        self.assertEqual(self.mon.recv_all(0.5), [])

    def test_standby_and_its_end(self):
        self.assertEqual(self.ask(b"r_sf_keepstop\r\n"), [b"a_sf_keepstop\r\n"])
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
        try:
            s.settimeout(1.5)
            try:
                register(self.sw, b"886", port, s)
                self.fail("answered in standby")
            except socket.timeout:
                pass
            # The queued REGISTER is read once the monitor ends the standby.
            self.assertEqual(self.ask(b"r_sf_keeprestart\r\n"), [b"a_sf_keeprestart\r\n"])
            s.settimeout(3)
            self.assertEqual(first_line(s.recv(65535)), b"SIP/2.0 200 OK")
        finally:
            s.close()

    def test_malformed_datagrams(self):
        for junk in (b"", b"\r\n", b"x", b" " * 1999, b"r_ " * 700, os.urandom(2000), b"\0r_heartbeat\r\n",
                     b"r_softswitch_reg tel\r\nr_softswitch_reg count\r\n"):
            self.mon.send(junk, self.netmon_port)
            self.sipmon(junk)
        self.assertEqual(self.ask(b"r_heartbeat"), [b"a_heartbeat demo version:v1\r\n"])


if __name__ == "__main__":
    main()

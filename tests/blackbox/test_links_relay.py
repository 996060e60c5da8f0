"""A packet forwarder on the media-relay link and query clients on the query-ip server of the
running switch."""
import socket
import struct
import time
import unittest

from call_parties import Phone, Switch, first_line
from harness import free_port, main, tcp_accepted, wait_for
from link_peers import TcpPeer, number_field


def relay_request(frame_seq, kind, relay_id, relay_port, media_port, ip):
    return (struct.pack(">BBBBH", 0xF5, frame_seq, 0x0B, kind, 233) + relay_id.ljust(200, b"\0") +
            struct.pack(">HHHH", relay_port, 0, media_port, 0) + ip.ljust(15, b"\0") + b"\0" * 10 + b"\xf5")


def hangoff(frame_seq, relay_id):
    return struct.pack(">BBBBH", 0xF5, frame_seq, 0x0B, 4, 210) + relay_id.ljust(200, b"\0") + b"\0" * 10 + b"\xf5"


def mute(relay_id):
    return struct.pack(">BBBBH", 0xF5, 0, 0x0B, 3, 210) + relay_id.ljust(200, b"\0") + b"\0" * 10 + b"\xf5"


class MediaRelay(unittest.TestCase):
    def setUp(self):
        self.port = free_port(socket.SOCK_STREAM)
        self.sw = Switch("soft_inet_enable=1\nsoft_rtpswitch_localport=%d\nsoft_rtpswitch_rtp_port=30000\n" % self.port)
        self.fwd = TcpPeer(self.port)
        self.assertTrue(wait_for(lambda: tcp_accepted(self.sw.prog.p.pid, self.port)))
        self.a, self.b = Phone(self.sw, b"851"), Phone(self.sw, b"852")

    def tearDown(self):
        for p in (self.fwd, self.a, self.b):
            p.close()
        self.assertEqual(self.sw.close(), 0)

    def talk(self):
        a, b = self.a, self.b
        a.send(a.request(b"INVITE", b"rly1", b"852", 1, b"v=0\r\nc=IN IP4 127.0.0.1\r\nm=audio 4000 RTP/AVP 8\r\n"))
        self.assertEqual(first_line(a.recv()), b"SIP/2.0 100 Trying")
        invite = b.recv()
        b.reply(invite, b"200 OK", b"v=0\r\nc=IN IP4 127.0.0.2\r\nm=audio 5000 RTP/AVP 0\r\n")
        t0 = time.time()
        first = self.fwd.read(240)
        second = self.fwd.read(240)
        self.assertGreater(time.time() - t0, 0.05, "the caller's request follows about 100 ms later")
        relay_id = first[6:206].rstrip(b"\0")
        self.assertRegex(relay_id, rb"^\d{14}123$")
        # The called party's channel first (2), then the caller's (0); public parties with their
        # media addresses.
        self.assertEqual(first, relay_request(0, 1, relay_id, 30002, 5000, b"127.0.0.2"))
        self.assertEqual(second, relay_request(1, 1, relay_id, 30000, 4000, b"127.0.0.1"))
        self.assertEqual(first_line(b.recv()), b"ACK sip:852@127.0.0.1:%d SIP/2.0" % self.sw.port)
        self.assertEqual(first_line(a.recv()), b"SIP/2.0 200 OK")
        a.send(a.request(b"ACK", b"rly1", b"852", 1))
        return relay_id

    def test_relay_requests_and_hangoff_of_a_call(self):
        relay_id = self.talk()
        self.a.send(self.a.request(b"BYE", b"rly1", b"852", 2))
        self.assertEqual(self.fwd.read(217), hangoff(2, relay_id))
        self.assertEqual(first_line(self.b.recv()), b"BYE sip:852@127.0.0.1:%d SIP/2.0" % self.sw.port)

    def test_mute_request_releases_the_call(self):
        relay_id = self.talk()
        # An empty or unknown id names no call.
        for other in (b"", b"20000101000000999"):
            self.fwd.send(mute(other))
            self.assertTrue(self.a.silent(1.5) and self.b.silent(0.1))
        self.fwd.send(mute(relay_id)[:100])
        self.assertTrue(self.a.silent(1.5))
        self.fwd.send(mute(relay_id)[100:])
        self.assertEqual(first_line(self.a.recv(3)), b"BYE sip:851@127.0.0.1:%d SIP/2.0" % self.sw.port)
        self.assertEqual(first_line(self.b.recv(3)), b"BYE sip:852@127.0.0.1:%d SIP/2.0" % self.sw.port)
        self.assertEqual(self.fwd.read(434), hangoff(2, relay_id) + hangoff(3, relay_id))

    def test_silent_forwarder_is_closed(self):
        start = time.time()
        self.assertTrue(self.fwd.closed_by_switch(timeout=15))
        self.assertGreater(time.time() - start, 8)


def query(calling, queried, nickname=b"nick", kind=b"A", length=71):
    body = number_field(calling) + number_field(queried) + nickname.ljust(20, b"\0") + kind
    return b"D\x00\x02" + struct.pack(">H", length) + body


class QueryIp(unittest.TestCase):
    def test_answers(self):
        port = free_port(socket.SOCK_STREAM)
        sw = Switch("sip_queryip_enable=1\nsip_queryip_port=%d\n" % port)
        phone = Phone(sw, b"861")
        c = TcpPeer(port)
        try:
            self.assertIn(b"query ip/port\xb0\xf3\xb6\xa8\xb6\xcb\xbf\xda\xb3\xc9\xb9\xa6 %d\n" % port, sw.banner)
            # The first data of a connection is not answered.
            c.send(query(b"100", b"861"))
            self.assertTrue(c.silent(1.5))
            c.send(query(b"100", b"861"))
            want = b"D\x01\x03\x00\x65" + number_field(b"100") + number_field(b"861")
            self.assertEqual(c.read(106, timeout=3), want + b"127.0.0.1".ljust(20, b"\0") +
                             (b"%d" % phone.port).ljust(10, b"\0") + b"nick".ljust(20, b"\0") + b"A")
            # A length that puts the fields before the record is refused; a record in pieces waits.
            c.send(query(b"100", b"861", length=10)[:15])
            self.assertTrue(c.silent(1.5))
            whole = query(b"101", b"999")
            c.send(whole[:30])
            time.sleep(1.2)
            c.send(whole[30:])
            self.assertEqual(c.read(106, timeout=3), b"D\x01\x03\x00\x65" + number_field(b"101") + number_field(b"999") +
                             b"\0" * 30 + b"nick".ljust(20, b"\0") + b"A")
        finally:
            c.close()
            phone.close()
            self.assertEqual(sw.close(), 0)


if __name__ == "__main__":
    main()

"""Strangers against the running switch: a socket that never registered, or registered as someone
else, knows a live call's Call-ID or a user's address and tries to end, transfer or join the call,
to take the service program's place, to make the switch redirect or relay for ever or anywhere,
to take over an MGCP endpoint or fill the endpoint table, to take the billing link over, or to
hold the query-ip connections. Each attack must change nothing for the peers who are who they
say they are."""
import socket
import time
import unittest

from call_parties import Phone, Switch, TAIL, first_line, header
from harness import free_port, main, wait_for
from link_peers import TcpPeer, tcp_connect
from mgcp_gateway import Gateway
from service_programs import Program
from test_links_fee import KEEPALIVE
from test_links_relay import query
from test_mgcp import EP1, EP2, fixture_db
from test_services import SDP_C, ServiceSwitch


class Stranger(Phone):
    """A UDP socket on 127.0.0.1 that never registered; its requests may name anyone."""

    def __init__(self, sw):   # a phone that skips the registration
        self.sw = sw
        self.number = b"stranger"
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]

    def request(self, method, callid, to, number, via_port, body=b"", extra=b""):
        """A request as number would send it from via_port (the Via is what the stranger claims)."""
        lines = (b"%s sip:%s@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:%d;branch=z9hG4bKx%s\r\n"
                 b"Max-Forwards: 70\r\nFrom: <sip:%s@127.0.0.1>;tag=p\r\nTo: <sip:%s@127.0.0.1>\r\n"
                 b"Call-ID: %s\r\nCSeq: 7 %s\r\n" % (method, to, via_port, method, number, to, callid, method) + extra)
        if not body:
            return lines + TAIL
        return lines + b"Content-Type: application/dtmf-relay\r\nContent-Length: %d\r\n\r\n" % len(body) + body


class InCalls(ServiceSwitch):
    def setUp(self):
        super().setUp()
        self.stranger = Stranger(self.sw)
        self.addCleanup(self.stranger.close)

    def still_talking(self, callid, a, b):
        """The call of a and b is up: a's BYE reaches b."""
        self.phones[a].send(self.phones[a].request(b"BYE", callid, b, 20))
        self.phones[b].reply(self.next_of(self.phones[b], b"BYE "), b"200 OK")

    def test_requests_with_a_live_call_id_from_a_stranger_change_nothing(self):
        service = self.program(b"*")
        a, b = self.phones[b"801"], self.phones[b"802"]
        callid, b_callid, _, _ = self.talk(b"801", b"802")
        s = self.stranger
        # Each row: the request, the dialog it names, who the stranger claims to be (number and Via).
        attacks = [
            (s.request(b"BYE", callid, b"802", b"801", a.port), b"BYE"),
            (s.request(b"INFO", b_callid, b"801", b"802", b.port, b"Signal=*\r\nDuration=100\r\n"), b"INFO"),
            (s.request(b"REFER", callid, b"802", b"801", a.port, extra=b"Refer-To: <sip:803@127.0.0.1>\r\n"),
             b"REFER"),
            (s.request(b"INVITE", callid, b"802", b"801", a.port), b"INVITE"),
            (s.request(b"CANCEL", b_callid, b"801", b"802", b.port), b"CANCEL"),
        ]
        for request, method in attacks:
            with self.subTest(method=method):
                s.send(request)
                self.assertEqual(first_line(s.recv()), b"SIP/2.0 481 Call/Transaction Does Not Exsit")
        # The rest of "*100*", each digit answered 481 like the first.
        for d in b"100*":
            s.send(s.request(b"INFO", b_callid, b"801", b"802", b.port, b"Signal=%s\r\nDuration=100\r\n" % bytes([d])))
            self.assertEqual(first_line(s.recv()), b"SIP/2.0 481 Call/Transaction Does Not Exsit")
        self.assertIsNone(service.recv(0.3), "no transfer was started")
        self.assertTrue(a.silent(0.2) and b.silent(0.2), "neither party heard of it")
        self.still_talking(callid, b"801", b"802")

    def test_console_switch_only_from_the_console_itself(self):
        console = self.phones[b"806"]
        _, k1, _, _ = self.talk(b"801", b"806")
        _, k2, _, _ = self.talk(b"802", b"806", SDP_C)
        ask = b"Kelvanor-Info: setswitch\r\nKelvanor-Callid: " + k1 + b"," + k2 + b"\r\n"
        # A stranger claiming the console's Via, and a registered user who is no party of either
        # call: answered, and nothing is switched.
        self.stranger.send(self.stranger.request(b"NOTIFY", b"console", b"806", b"806", console.port, extra=ask))
        self.assertEqual(first_line(self.stranger.recv()), b"SIP/2.0 200 OK")
        other = self.phones[b"805"]
        other.send(other.request(b"NOTIFY", b"console2", b"806", 1, extra=ask))
        self.next_of(other, b"SIP/2.0 200 OK")
        self.assertTrue(console.silent(0.3))
        # The console's own request still joins the far ends.
        console.send(console.request(b"NOTIFY", b"console3", b"806", 1, extra=ask))
        self.next_of(console, b"SIP/2.0 200 OK")
        self.phones[b"801"].send(self.phones[b"801"].request(b"BYE", b"svc-1", b"806", 2))
        self.next_of(self.phones[b"802"], b"BYE ")

    def test_a_spoofed_via_gets_no_forced_release_and_no_listen_in(self):
        service = self.program(b"*")
        c = self.phones[b"806"]
        for priority in (b"emergency", b"listen_urgent"):
            with self.subTest(priority=priority):
                callid, _, _, _ = self.talk(b"801", b"802")
                # From 806's number and address, but not from 806's socket.
                self.stranger.send(self.stranger.request(b"INVITE", b"spoof-" + priority, b"802", b"806", c.port,
                                                         SDP_C, b"Priority: " + priority + b"\r\n"))
                self.assertIsNone(service.recv(0.3))
                self.assertTrue(self.phones[b"801"].silent(0.2) and self.phones[b"802"].silent(0.2))
                self.still_talking(callid, b"801", b"802")
                self.assertNotIn(b"200 OK", c.recv(0.2) or b"", "the stranger was not answered as 806")

    def test_the_service_program_cannot_be_replaced_from_another_address(self):
        service = self.program(b"*")
        s = self.stranger
        s.send(b"REGISTER sip:127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:%d;branch=z9hG4bKr\r\n"
               b"From: <sip:*@127.0.0.1>;tag=r\r\nTo: <sip:*@127.0.0.1>\r\nCall-ID: r*\r\nCSeq: 1 REGISTER\r\n"
               b"Kelvanor-Info: service register\r\nContact: <sip:*@127.0.0.1:%d>\r\nExpires: 3600\r\n" % (s.port, s.port)
               + TAIL)
        self.assertEqual(first_line(s.recv()), b"SIP/2.0 488 Not Acceptable Here")
        # Listen-in still reaches the real program.
        self.talk(b"801", b"802")
        self.invite(self.phones[b"804"], b"802", SDP_C, b"Priority: listen_urgent\r\n")
        self.assertEqual(self.kind_of(service.datagram()), {b"Kelvanor-Info:Softswitch-Listen"})
        self.assertIsNone(s.recv(0.3))
        # The program itself refreshes its registration as before.
        service.send(b"REGISTER sip:127.0.0.1 SIP/2.0\r\n" + service.via() + b"\r\nFrom: <sip:*@127.0.0.1>;tag=r\r\n"
                     b"To: <sip:*@127.0.0.1>\r\nCall-ID: again\r\nCSeq: 2 REGISTER\r\n"
                     b"Kelvanor-Info: service register\r\nExpires: 3600\r\n" + TAIL)
        self.assertEqual(first_line(self.next_of(service, b"SIP/2.0 ")), b"SIP/2.0 200 OK")

    def redirect(self, phone, invite, to):
        phone.send(phone.answer(invite, b"302 Moved Temporarily")[:-2] + b"Contact: <sip:" + to + b"@127.0.0.1>\r\n\r\n")
        self.next_of(phone, b"ACK ")

    def test_redirects_back_and_forth_end_with_a_failure_to_the_caller(self):
        caller = self.phones[b"806"]
        # Back to the party that redirected: refused at once.
        self.invite(caller, b"802")
        self.redirect(self.phones[b"802"], self.next_of(self.phones[b"802"], b"INVITE "), b"802")
        self.next_of(caller, b"SIP/2.0 488")
        # 801 and 802 (both may redirect) send the call to each other: followed a few times only.
        callid = self.invite(caller, b"802")
        rung, parties = 0, {b"801": b"802", b"802": b"801"}
        end = time.time() + 20
        answer = None
        while answer is None and time.time() < end:
            for number, other in parties.items():
                phone = self.phones[number]
                m = phone.recv(0.05)
                if m is not None and first_line(m).startswith(b"INVITE "):
                    rung += 1
                    self.redirect(phone, m, other)
            m = caller.recv(0.01)
            if m is not None and not first_line(m).startswith(b"SIP/2.0 1"):
                answer = m
        self.assertIsNotNone(answer, "the caller heard the end")
        self.assertEqual(first_line(answer), b"SIP/2.0 488 Not Acceptable Here")
        self.assertEqual(header(answer, b"Call-ID"), b"Call-ID: " + callid)
        self.assertEqual(rung, 4, "the first INVITE and three redirects")


class Messages(ServiceSwitch):
    def message(self, sender, to_host_port, hops=b"70", number=b"802"):
        sender.send(b"MESSAGE sip:%s@%s SIP/2.0\r\n" % (number, to_host_port) + sender.via() +
                    b"\r\nMax-Forwards: " + hops + b"\r\nFrom: <sip:%s@127.0.0.1>;tag=m\r\n" % sender.number +
                    b"To: <sip:%s@%s\r\nCall-ID: msg-%s\r\nCSeq: 1 MESSAGE\r\n" % (number, to_host_port, hops) +
                    b"Content-Type: text/plain\r\nContent-Length: 2\r\n\r\nhi")
        return self.next_of(sender, b"SIP/2.0 ")

    def test_a_message_goes_only_to_a_registered_user(self):
        a, b = self.phones[b"801"], self.phones[b"802"]
        nobody = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(nobody.close)
        nobody.bind(("127.0.0.1", 0))
        # To the switch's own address and to a host nobody registered from: not relayed.
        for where in (b"127.0.0.1:%d" % self.sw.port, b"127.0.0.1:%d" % nobody.getsockname()[1]):
            self.assertEqual(first_line(self.message(a, where)), b"SIP/2.0 200 OK")
        # A MESSAGE to a registered user comes through after them, with one hop less; a MESSAGE
        # with no hops left is refused.
        self.assertEqual(first_line(self.message(a, b"127.0.0.1:%d" % b.port, b"5")), b"SIP/2.0 200 OK")
        relayed = self.next_of(b, b"MESSAGE ")
        self.assertEqual(header(relayed, b"Max-Forwards"), b"Max-Forwards: 4")
        self.assertEqual(first_line(self.message(a, b"127.0.0.1:%d" % b.port, b"0")), b"SIP/2.0 483 TooManyHops")
        self.assertTrue(b.silent(0.3))
        nobody.settimeout(0.01)
        self.assertRaises(socket.timeout, nobody.recv, 100)
        # The switch is not busy sending to itself: it answers at once.
        a.send(a.request(b"OPTIONS", b"opt", b"802", 1))
        self.assertEqual(first_line(self.next_of(a, b"SIP/2.0 ", timeout=2)), b"SIP/2.0 200 OK")
        self.assertIsNone(a.recv(0.3), "the MESSAGE to the switch was answered once, not looped")


class Gateways(unittest.TestCase):
    SETTINGS = "db name = mgcp.db\n"

    def setUp(self):
        self.sw = Switch(self.SETTINGS, prepare=fixture_db)
        self.gw = Gateway(self.sw.mgcp_port)
        self.stranger = Gateway(self.sw.mgcp_port, start=5000)

    def tearDown(self):
        self.gw.close()
        self.stranger.close()
        self.assertEqual(self.sw.close(), 0)

    def register(self, gw, endpoint):
        t = gw.rsip(endpoint)
        self.assertEqual(gw.expect(b"200", b"RQNT")[0], b"200 %s OK\r\n" % t)

    def dial_works(self, endpoint=EP1):
        """Off-hook and digits of endpoint reach the switch: its CRCX comes to the real gateway."""
        self.gw.ntfy(endpoint, b"L/hd")
        self.gw.expect(b"200", b"RQNT")
        self.gw.ntfy(endpoint, b"D/899")
        crcx = self.gw.expect(b"200", b"CRCX")[1]
        self.assertIn(endpoint, crcx)
        self.gw.reply(crcx, code=b"510")
        self.gw.expect(b"RQNT")
        self.gw.ntfy(endpoint, b"L/hu")
        self.gw.expect(b"200", b"RQNT")


class Endpoints(Gateways):
    def test_a_stranger_cannot_take_a_live_endpoint_and_invented_names_do_not_crowd_it_out(self):
        self.register(self.gw, EP1)
        t = self.stranger.rsip(EP1)
        self.assertEqual(self.stranger.expect(b"400"), b"400 %s\r\n" % t)
        # Its events for the endpoint are answered and not acted on.
        self.stranger.ntfy(EP1, b"L/hd")
        self.stranger.expect(b"200")
        self.assertTrue(self.gw.silent(0.3) and self.stranger.silent(0.2))
        # A thousand invented names fill the table...
        for n in range(1000):
            self.stranger.rsip(b"aaln/%d@invented" % n)
        self.assertTrue(wait_for(lambda: self.stranger.recv(2.0) is None, timeout=60))
        self.dial_works()
        # ...and the real gateway's other line, which the database knows, still registers.
        self.register(self.gw, EP2)
        self.dial_works(EP2)



class SilentGateway(Gateways):
    SETTINGS = Gateways.SETTINGS + "mgcp_expires=3\n"

    def test_the_records_of_a_silent_gateway_expire(self):
        self.register(self.gw, EP1)
        # Once the gateway has been silent longer than the expiry, the name may register elsewhere.
        def taken():
            t = self.stranger.rsip(EP1)
            got = self.stranger.recv(1.0)
            return got is not None and got.startswith(b"200 %s" % t)
        self.assertTrue(wait_for(taken, timeout=20, step=0.3))


class Links(unittest.TestCase):
    def test_a_new_billing_connection_leaves_the_live_one_connected(self):
        port = free_port(socket.SOCK_STREAM)
        sw = Switch("sip_fee_enable=1\nsip_fee_port=%d\n" % port)
        server = TcpPeer(port)
        try:
            self.assertEqual(server.read(6, timeout=4), KEEPALIVE)
            # From another host: closed at once.
            stranger = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            stranger.bind(("127.0.0.2", 0))
            stranger.connect(("127.0.0.1", port))
            stranger.settimeout(5)
            self.assertEqual(stranger.recv(100), b"", "closed by the switch")
            stranger.close()
            for _ in range(2):
                self.assertEqual(server.read(6, timeout=4), KEEPALIVE)
        finally:
            server.close()
            self.assertEqual(sw.close(), 0)

    def test_silent_query_connections_are_dropped_after_the_idle_time(self):
        port = free_port(socket.SOCK_STREAM)
        sw = Switch("sip_queryip_enable=1\nsip_queryip_port=%d\nsip_queryip_idle=2\n" % port)
        phone = Phone(sw, b"861")
        silent = [tcp_connect(port) for _ in range(100)]
        try:
            start = time.time()
            for s in silent:
                s.settimeout(max(0.1, start + 15 - time.time()))
                self.assertEqual(s.recv(100), b"", "closed by the switch")
            # A client that asks is answered, as before.
            c = TcpPeer(port)
            # Its first data is never answered: it asks until it is.
            reply = b""
            end = time.time() + 10
            while len(reply) < 106 and time.time() < end:
                c.send(query(b"100", b"861"))
                reply = c.read(106, timeout=0.5)
            self.assertEqual(reply[55:64], b"127.0.0.1")
            self.assertEqual(int(reply[75:85].rstrip(b"\0")), phone.port)
            c.sock.close()
        finally:
            for s in silent:
                s.close()
            phone.close()
            self.assertEqual(sw.close(), 0)


if __name__ == "__main__":
    main()

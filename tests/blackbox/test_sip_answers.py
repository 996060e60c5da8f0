"""sipswitch's own SIP answers, against the running switch: what a peer sends, what comes back."""
import random
import socket
import subprocess
import unittest

import harness
from harness import Board, main, start_switch, wait_for

TAIL = b"Content-Length: 0\r\n\r\n"


class Switch(harness.Switch):
    """The switch, and a peer socket to talk to it."""

    def __init__(self, extra_settings=""):
        super().__init__(extra_settings)
        self.peer = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.peer.bind(("127.0.0.1", 0))
        self.peer_port = self.peer.getsockname()[1]

    def via(self, host="127.0.0.1", port=None):
        return b"Via: SIP/2.0/UDP %s:%d;branch=z9hG4bK.1;rport" % (host.encode(), port or self.peer_port)

    def send(self, data):
        self.peer.sendto(data, ("127.0.0.1", self.port))

    def reply(self, timeout=2.0):
        self.peer.settimeout(timeout)
        try:
            return self.peer.recv(65535)
        except socket.timeout:
            return None

    def close(self):
        self.peer.close()
        return super().close()


def request(method, via, callid=b"c1@127.0.0.1", cseq=None, extra=b""):
    lines = [b"%s sip:800@127.0.0.1 SIP/2.0" % method, via, b"From: <sip:801@127.0.0.1>;tag=f1",
             b"To: <sip:800@127.0.0.1>"]
    if callid is not None:
        lines.append(b"Call-ID: " + callid)
    lines.append(b"CSeq: " + (cseq or b"1 " + method))
    return b"\r\n".join(lines) + b"\r\n" + extra + b"\r\n"


def answer(status, via, callid=b"c1@127.0.0.1", cseq=b"1 X", middle=b""):
    return (b"SIP/2.0 " + status + b"\r\n" + via + b"\r\nFrom: <sip:801@127.0.0.1>;tag=f1\r\n"
            b"To: <sip:800@127.0.0.1>\r\nCall-ID: " + callid + b"\r\n" + middle + b"CSeq: " + cseq + b"\r\n" + TAIL)


class SipAnswers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sw = Switch()

    @classmethod
    def tearDownClass(cls):
        rc = cls.sw.close()
        assert rc == 0, rc

    def setUp(self):
        # Nothing left over from another exchange.
        while self.sw.reply(timeout=0.05) is not None:
            pass

    def assert_silent(self, datagram):
        """The switch answers nothing to datagram: the next answer is the probe's."""
        self.sw.send(datagram)
        probe = request(b"OPTIONS", self.sw.via(), callid=b"probe")
        self.sw.send(probe)
        got = self.sw.reply()
        self.assertIsNotNone(got, "no answer to the probe")
        self.assertIn(b"\r\nCall-ID: probe\r\n", got, "the switch answered what it must not")

    def test_sipsak_options_gets_200_with_the_echo(self):
        r = subprocess.run(["sipsak", "-vvv", "-s", "sip:x@127.0.0.1:%d" % self.sw.port],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=20)
        self.assertEqual(r.returncode, 0, r.stdout.decode(errors="replace"))
        out = r.stdout.decode(errors="replace").replace("\r\n", "\n")
        sent = out.split("request:\n", 1)[1].split("\n\n", 1)[0].splitlines()
        got = out.split("message received:\n", 1)[1].split("\n\n", 1)[0].splitlines()
        header = {line.split(":", 1)[0]: line for line in sent[1:]}
        want = ["SIP/2.0 200 OK", header["Via"], header["From"], header["To"], header["Call-ID"],
                header["Contact"], header["User-Agent"], header["CSeq"], "Content-Length: 0"]
        self.assertEqual(got, want)

    def test_options_echo_byte_for_byte(self):
        via = self.sw.via()
        extra = (b"Contact: <sip:801@127.0.0.1>\r\nContent-Length: 0\r\nMax-Forwards: 70\r\n"
                 b"User-Agent: peer 1.0\r\nExpires: 30\r\nAccept: text/plain\r\n")
        self.sw.send(request(b"OPTIONS", via, extra=extra))
        self.assertEqual(self.sw.reply(), answer(b"200 OK", via, cseq=b"1 OPTIONS",
                                                 middle=b"Expires: 30\r\nContact: <sip:801@127.0.0.1>\r\n"
                                                        b"User-Agent: peer 1.0\r\n"))

    def test_requests_for_unknown_call_ids_get_200(self):
        for method in (b"SUBSCRIBE", b"INFO", b"NOTIFY", b"BYE", b"CANCEL", b"MESSAGE"):
            with self.subTest(method=method):
                via = self.sw.via()
                callid = b"unknown-" + method
                self.sw.send(request(method, via, callid=callid))
                self.assertEqual(self.sw.reply(), answer(b"200 OK", via, callid=callid, cseq=b"1 " + method))

    def test_refer_outside_a_dialog_gets_488(self):
        via = self.sw.via()
        self.sw.send(request(b"REFER", via, extra=b"Refer-To: <sip:805@127.0.0.1>\r\n"))
        self.assertEqual(self.sw.reply(), answer(b"488 Not Acceptable Here", via, cseq=b"1 REFER"))

    def test_what_gets_no_answer(self):
        via = self.sw.via()
        cases = [
            ("ACK", request(b"ACK", via)),
            ("PRACK", request(b"PRACK", via)),
            ("unknown method", request(b"FOO", via)),
            ("method in lower case", request(b"options", via)),
            ("no Call-ID", request(b"OPTIONS", via, callid=None)),
            ("compact Call-ID only", request(b"OPTIONS", via, callid=None, extra=b"i: compact\r\n")),
            ("keepalive", b"\r\n\r\n"),
            ("one byte", b"x"),
            ("a response without a dialog", answer(b"200 OK", via, cseq=b"1 INVITE")),
            ("no line end at all", b"OPTIONS sip:x SIP/2.0"),
        ]
        for what, datagram in cases:
            with self.subTest(what):
                self.assert_silent(datagram)

    def test_a_via_host_name_is_answered_at_the_source(self):
        # Neither a name nor a missing Via can be sent to; the sender still hears back.
        for via in (b"Via: SIP/2.0/UDP peer.example:5999;branch=z9hG4bK.2", b"X-No-Via: 1"):
            with self.subTest(via=via):
                self.sw.send(request(b"OPTIONS", via, callid=b"named"))
                got = self.sw.reply()
                self.assertIsNotNone(got)
                self.assertTrue(got.startswith(b"SIP/2.0 200 OK\r\n"), got)

    def test_datagram_is_cut_at_2047_bytes(self):
        via = self.sw.via()
        head = request(b"OPTIONS", via, callid=None)[:-2]
        for filler, answered in ((1900, True), (2100, False)):
            with self.subTest(filler=filler):
                pad = b"X-Pad: " + b"p" * (filler - len(head) - 9) + b"\r\n"
                datagram = head + pad + b"Call-ID: late\r\n\r\n"
                if answered:
                    self.sw.send(datagram)
                    got = self.sw.reply()
                    self.assertIsNotNone(got)
                    self.assertIn(b"Call-ID: late\r\n", got)
                else:
                    self.assert_silent(datagram)

    def test_received_text_is_logged_as_data(self):
        via = self.sw.via()
        self.sw.send(request(b"OPTIONS", via, callid=b"%s%n%n%x@fmt"))
        self.assertIsNotNone(self.sw.reply())
        # The switch writes its log once the pass that answered is over.
        texts = (b"Call-ID: %s%n%n%x@fmt\r\n", b"OnRecvSip :callid: %s%n%n%x@fmt \n")
        def logged():
            log = self.sw.board.read("tmp/log/softswitch.log")
            return all(t in log for t in texts)
        self.assertTrue(wait_for(logged, timeout=10), self.sw.board.read("tmp/log/softswitch.log")[-2000:])

    def test_garbage_does_not_stop_the_answers(self):
        rnd = random.Random(1234)
        alphabet = b"\r\n\0 :;=/<>@\"SIPVia" + bytes(range(256))
        sizes = [0, 1, 4, 5, 2047, 2048, 4000, 65507] + [rnd.randrange(5, 3000) for _ in range(300)]
        for n in sizes:
            data = bytes(rnd.choice(alphabet) for _ in range(n))
            try:
                self.sw.send(data)
            except OSError:
                pass
        # Real-looking messages with mangled lines as well.
        base = request(b"INVITE", self.sw.via(), extra=b"Content-Type: application/sdp\r\n")
        for _ in range(200):
            b = bytearray(base + b"\r\nv=0\r\nc=IN IP4 1.2.3.4\r\nm=audio 99999999999 RTP/AVP 0 8\r\n")
            for _ in range(rnd.randrange(1, 8)):
                b[rnd.randrange(len(b))] = rnd.choice(alphabet)
            self.sw.send(bytes(b))
        self.assertIsNone(self.sw.prog.poll(), "the switch ended")
        ok = wait_for(lambda: self._options_answered(), timeout=10)
        self.assertTrue(ok, "the switch no longer answers")

    def _options_answered(self):
        while self.sw.reply(timeout=0.01) is not None:
            pass
        self.sw.send(request(b"OPTIONS", self.sw.via(), callid=b"after-garbage"))
        got = self.sw.reply(timeout=0.5)
        return got is not None and b"Call-ID: after-garbage" in got


class SipSocket(unittest.TestCase):
    def test_port_in_use_ends_start_up(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as taken, Board() as b:
            taken.bind(("0.0.0.0", 0))
            port = taken.getsockname()[1]
            b.write_settings("sip_server_local_port=%d\n" % port)
            r = start_switch(b, wait=False).finish()
            self.assertEqual(r.returncode, 255)
            # Only the sockets the settings readers make (MGCP, record link, SIP monitor) came before.
            self.assertEqual(r.stdout, b"Bind  MGCP  Server  Port = [2727]  Success \n"
                                       b"Bind  Record  Server  Port = [6536]  Success \n"
                                       b"Bind  sip monitor  port = [8008]  Success \n"
                                       b"error:create sip udp server failed, bind local address error!\n")

    def test_bound_port_is_announced(self):
        sw = Switch()
        try:
            # The MGCP socket is made by its settings reader, before the SIP socket.
            self.assertTrue(sw.banner.startswith(b"Bind  MGCP  Server  Port = [%d]  Success \n" % sw.mgcp_port), sw.banner)
            self.assertIn(b"\nBind  SIP  Server  Port = [%d]  Success \n" % sw.port, sw.banner)
        finally:
            self.assertEqual(sw.close(), 0)


if __name__ == "__main__":
    main()

"""Strangers against the gateway's SIP side: a steady stream of requests for dialogs the gateway
does not have (BYE, INFO, CANCEL, OPTIONS from sockets that never took part in a call), sent for a
minute while both lines register with a registrar that grants a short lifetime. Every stranger
gets its answer, copies the same one, the lines refresh before their lifetime ends, and a call
offered at the end of the stream is answered."""
import random
import re
import select
import socket
import time
import unittest

from gate import DB, gate_board
from harness import ETH0_ADDR, main, start_gate, wait_for
from sipp_server import SippServer
from test_line_register import REGISTERED, line_row
from webcfg import Segment

import make_qvd_db

GATE_SIP_PORT = 5062          # LOCAL_SIP_PORT of the test database
RATE = 50                     # stranger requests a second
RUN_S = 60                    # the stack keeps a transaction for 64 T1 (32 s): twice that
GRANTED = 8                   # the registrar's lifetime; the lines refresh after 0.8 of it
WANT = {b"BYE": b"481", b"INFO": b"481", b"CANCEL": b"481", b"OPTIONS": b"200"}


def stranger(method, n, port):
    """A request of a dialog nobody has: its own Call-ID and branch, a To tag where a dialog's
    request would carry one."""
    to_tag = b";tag=x%d" % n if method in (b"BYE", b"INFO") else b""
    return (b"%s sip:8001@%s:%d SIP/2.0\r\n" % (method, ETH0_ADDR.encode(), GATE_SIP_PORT) +
            b"Via: SIP/2.0/UDP 127.0.0.1:%d;branch=z9hG4bKs%d\r\n" % (port, n) +
            b"Max-Forwards: 70\r\n"
            b"From: <sip:666@127.0.0.1>;tag=s%d\r\n" % n +
            b"To: <sip:8001@%s>%s\r\n" % (ETH0_ADDR.encode(), to_tag) +
            b"Call-ID: stranger-%d@127.0.0.1\r\n" % n +
            b"CSeq: 1 %s\r\n" % method +
            (b"Content-Type: text/plain\r\nContent-Length: 5\r\n\r\n*100*" if method == b"INFO"
             else b"Content-Length: 0\r\n\r\n"))


def call_id(msg):
    m = re.search(rb"\r\nCall-ID: *(\S+)", msg)
    return m.group(1) if m else b""


class Strangers(unittest.TestCase):
    def setUp(self):
        self.board = gate_board(with_db=True)
        self.registrar = SippServer(self.board, "registrar_auth.xml", keys=(("password", "secret"), ("granted", GRANTED)))
        lines = [line_row(0, REG_PWD="secret", REG_EXPIRES=60), line_row(1, REG_PWD="secret", REG_EXPIRES=60)]
        make_qvd_db.make_db(self.board.path(DB), ini={"IP_SWITCH_0": "127.0.0.1", "PORT_SWITCH_0": self.registrar.port},
                            users=lines, user_cors=[make_qvd_db.user_cor_row(r["USER_CHN"]) for r in lines])
        self.gate = start_gate(self.board)
        self.assertTrue(self.gate.wait_ready(), self.gate.out[-2000:])
        self.seg = Segment()
        self.socks = []

    def tearDown(self):
        for s in self.socks:
            s.close()
        if self.gate.poll() is None:
            self.assertEqual(self.gate.stop()[0], 0)
        self.registrar.stop()
        self.seg.remove()
        self.board.close()

    def socket(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.0.0.1", 0))
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self.socks.append(s)
        return s

    def registered(self, line):
        self.gate.read(0.05)
        return self.seg.line_status(line)["register_result"] == REGISTERED

    def register_times(self, tel):
        return [t for t, m in zip(self.registrar.received_times(b"REGISTER"), self.registrar.received(b"REGISTER"))
                if b"From: <sip:%s@" % tel in m]

    def test_a_minute_of_strangers_leaves_the_lines_registered_and_a_call_answered(self):
        for line in (0, 1):
            self.assertTrue(wait_for(lambda: self.registered(line), timeout=15), self.gate.out[-3000:])
        senders = [self.socket() for _ in range(4)]
        for s in senders:
            s.setblocking(False)
        answers = {}           # Call-ID: the answers it got, in order
        sent = {}              # Call-ID: its method
        copies = set()

        def take_answers(wait):
            r, _, _ = select.select(senders, [], [], wait)
            for s in r:
                while True:
                    try:
                        msg = s.recv(65535)
                    except BlockingIOError:
                        break
                    answers.setdefault(call_id(msg), []).append(msg)

        methods = list(WANT)
        start = time.time()
        n = 0
        while n < RUN_S * RATE:
            due = start + n / RATE
            while time.time() < due:
                take_answers(max(0.0, min(due - time.time(), 0.01)))
                self.gate.read(0.001)
            method = methods[n % len(methods)]
            s = senders[n % len(senders)]
            req = stranger(method, n, s.getsockname()[1])
            sent[call_id(req)] = method
            s.sendto(req, (ETH0_ADDR, GATE_SIP_PORT))
            if n % 10 == 0:    # a copy, as a peer that missed the answer sends it
                s.sendto(req, (ETH0_ADDR, GATE_SIP_PORT))
                copies.add(call_id(req))
            n += 1
            if n == (RUN_S - 5) * RATE:
                invite_sent = time.time()
                final = self.offer_call()
        end = time.time()

        self.assertEqual(final, True, "the call offered during the stream got no final answer")
        self.assertLess(invite_sent, end)
        wait_for(lambda: take_answers(0.05) or len(answers) >= len(sent), timeout=5)
        missing = [cid for cid in sent if cid not in answers]
        self.assertEqual(missing[:5], [], "%d strangers unanswered" % len(missing))
        for cid, method in sent.items():
            got = answers[cid]
            self.assertTrue(got[0].startswith(b"SIP/2.0 " + WANT[method]), got[0][:200])
            if cid in copies:
                self.assertEqual(len(got), 2, cid)
                self.assertEqual(got[0], got[1], cid)

        # Each line's REGISTERs (a refresh and its challenged repeat) never lie further apart
        # than the lifetime the registrar grants, from before the stream to its end.
        for line, tel in ((0, b"8001"), (1, b"8002")):
            times = [t for t in self.register_times(tel) if t <= end] + [end]
            before = [t for t in times if t < start]
            self.assertTrue(before, tel)
            during = [before[-1]] + [t for t in times if t >= start]
            gaps = [b - a for a, b in zip(during, during[1:])]
            self.assertLess(max(gaps), GRANTED, (tel, gaps))
            self.assertGreaterEqual(len(during), RUN_S // GRANTED, tel)
            self.assertTrue(self.registered(line))

    def offer_call(self):
        """An INVITE to a number no line has, during the stream; True once it gets a final
        answer (acknowledged), False when none comes."""
        s = self.socket()
        port = s.getsockname()[1]
        tag = random.randrange(1 << 30)
        base = (b"sip:9999@%s:%d" % (ETH0_ADDR.encode(), GATE_SIP_PORT),
                b"Via: SIP/2.0/UDP 127.0.0.1:%d;branch=z9hG4bKcall%d\r\n" % (port, tag),
                b"From: <sip:7001@127.0.0.1:%d>;tag=c%d\r\n" % (port, tag),
                b"Call-ID: call-%d@127.0.0.1\r\n" % tag)
        s.sendto(b"INVITE %s SIP/2.0\r\n%sMax-Forwards: 70\r\n%sTo: <sip:9999@%s>\r\n%sCSeq: 1 INVITE\r\n"
                 b"Contact: <sip:7001@127.0.0.1:%d>\r\nContent-Length: 0\r\n\r\n"
                 % (base[0], base[1], base[2], ETH0_ADDR.encode(), base[3], port), (ETH0_ADDR, GATE_SIP_PORT))
        s.settimeout(0.05)
        end = time.time() + 5
        while time.time() < end:
            self.gate.read(0.001)
            try:
                msg = s.recv(65535)
            except socket.timeout:
                continue
            status = int(msg[8:11])
            if status < 200:
                continue
            to = re.search(rb"\r\nTo: *([^\r]*)", msg).group(1)
            s.sendto(b"ACK %s SIP/2.0\r\n%sMax-Forwards: 70\r\n%sTo: %s\r\n%sCSeq: 1 ACK\r\nContent-Length: 0\r\n\r\n"
                     % (base[0], base[1], base[2], to, base[3]), (ETH0_ADDR, GATE_SIP_PORT))
            return True
        return False


if __name__ == "__main__":
    main()

"""The parties of calls through a running sipswitch: the switch under a scratch board root,
plain UDP phones that say exactly what a test wants, and SIPp phones, each registered first."""
import os
import re
import socket
import subprocess

import harness
from harness import SIPP_BIND_FAILED, SOURCE_DIR, free_port, sipp_messages, wait_bound

SIPP_DIR = os.path.join(SOURCE_DIR, "tests", "sipp")
TAIL = b"Content-Length: 0\r\n\r\n"


class Switch(harness.Switch):
    """The switch the calls go through, not logging unless told; counts its SIPp runs."""

    def __init__(self, settings="", debug=0, prepare=None):
        super().__init__(settings, debug, prepare)
        self.runs = 0


def register(sw, number, port, sock=None, extra=b""):
    """REGISTER number from 127.0.0.1:port, for a phone that listens there; returns the answer.
    extra: further header lines, each ending in CRLF."""
    own = sock is None
    if own:
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind(("127.0.0.1", port))
    at = b"127.0.0.1:%d" % port
    sock.sendto(b"REGISTER sip:127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP " + at + b";branch=z9hG4bKreg\r\n"
                b"From: <sip:" + number + b"@127.0.0.1>;tag=r\r\nTo: <sip:" + number + b"@127.0.0.1>\r\n"
                b"Call-ID: reg" + number + b"@" + at + b"\r\nCSeq: 1 REGISTER\r\n" + extra +
                b"Contact: <sip:" + number + b"@" + at + b">\r\nExpires: 3600\r\n" + TAIL, ("127.0.0.1", sw.port))
    sock.settimeout(5)
    answer = sock.recv(65535)
    if own:
        sock.close()
    return answer


def header(message, name):
    """The whole line of a header (b"" when the message has none)."""
    for line in message.split(b"\r\n"):
        if line.startswith(name + b":"):
            return line
    return b""


def first_line(message):
    return message.split(b"\r\n", 1)[0] if message else None


def pattern(text):
    """The expected text as a pattern: literal, with regular expressions only inside {{ }}."""
    out = b""
    for i, part in enumerate(re.split(rb"\{\{(.*?)\}\}", text)):
        out += part if i % 2 else re.escape(part)
    return re.compile(out, re.S)


def sdp_of(body):
    return b"Content-Type: application/sdp\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body)


class Phone:
    """A plain UDP phone on 127.0.0.1: its Via names it, so the switch answers here."""

    def __init__(self, sw, number, extra=b""):
        self.sw = sw
        self.number = number
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        assert first_line(register(sw, number, self.port, self.sock, extra)) == b"SIP/2.0 200 OK"

    def send(self, data):
        self.sock.sendto(data, ("127.0.0.1", self.sw.port))

    def recv(self, timeout=5.0):
        self.sock.settimeout(timeout)
        try:
            return self.sock.recv(65535)
        except socket.timeout:
            return None

    def silent(self, seconds=1.0):
        """True when nothing arrives for that long."""
        return self.recv(timeout=seconds) is None

    def via(self, branch=b"z9hG4bKp"):
        return b"Via: SIP/2.0/UDP 127.0.0.1:%d;branch=%s" % (self.port, branch)

    def request(self, method, callid, to, cseq, body=b"", extra=b"", content_type=b"application/sdp"):
        """A request of this phone in its own dialog (From is this phone, with tag p)."""
        lines = (b"%s sip:%s@127.0.0.1 SIP/2.0\r\n" % (method, to) + self.via(b"z9hG4bK" + method + b"%d" % cseq) +
                 b"\r\nFrom: <sip:%s@127.0.0.1>;tag=p\r\nTo: <sip:%s@127.0.0.1>\r\nCall-ID: %s\r\n"
                 b"CSeq: %d %s\r\n" % (self.number, to, callid, cseq, method) + extra)
        if not body:
            return lines + TAIL
        return lines + b"Content-Type: " + content_type + b"\r\nContent-Length: %d\r\n\r\n" % len(body) + body

    def answer(self, request, status, body=b"", tag=b";tag=q"):
        """A response to a request the switch sent, with this phone's tag on the To line."""
        to = header(request, b"To")
        lines = (b"SIP/2.0 " + status + b"\r\n" + header(request, b"Via") + b"\r\n" + header(request, b"From") +
                 b"\r\n" + to + (b"" if b"tag=" in to else tag) + b"\r\n" + header(request, b"Call-ID") + b"\r\n" +
                 header(request, b"CSeq") + b"\r\n")
        return lines + (sdp_of(body) if body else TAIL)

    def reply(self, request, status, body=b""):
        self.send(self.answer(request, status, body))

    def close(self):
        self.sock.close()


def port_taken(port):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        try:
            s.bind(("127.0.0.1", port))
            return False
        except OSError:
            return True


class Sipp:
    """One SIPp phone, registered from its own port before it starts."""

    def __init__(self, sw, scenario, number, keys=(), code=None):
        sw.runs += 1
        self.sw = sw
        self.trace = sw.board.path("var/sipp%d.log" % sw.runs)
        path = os.path.join(SIPP_DIR, scenario)
        if code is not None:   # a scenario whose status the test writes in
            with open(path) as f:
                text = f.read().replace("CODE", code)
            path = sw.board.path("var/scenario%d.xml" % sw.runs)
            with open(path, "w") as f:
                f.write(text)
        # The port is free when asked for, but anything may take it before SIPp binds it: then
        # the phone registers again from another one.
        for _ in range(5):
            self.port = free_port()
            assert first_line(register(sw, number.encode(), self.port)) == b"SIP/2.0 200 OK"
            args = ["sipp", "127.0.0.1:%d" % sw.port, "-sf", path, "-m", "1", "-i", "127.0.0.1", "-p", str(self.port),
                    "-nr", "-nostdin", "-trace_msg", "-message_file", self.trace, "-timeout", "30s", "-timeout_error"]
            for k, v in keys:
                args += ["-key", k, v]
            self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                         cwd=sw.board.path("var"))
            if wait_bound(self.proc, self.port) or self.proc.wait() != SIPP_BIND_FAILED:
                break

    def result(self, timeout=40):
        """SIPp's exit code (0: the scenario ran through) and the messages it sent and received."""
        rc = self.proc.wait(timeout=timeout)
        return rc, sipp_messages(self.trace)


def received(messages):
    return [m for kind, m in messages if kind == b"received"]

"""A test MGCP gateway (standard library only): one UDP socket on 127.0.0.1 that plays the
analogue gateway's side toward the switch's call agent. What it sends ends its lines with LF
alone, as such gateways do; what it receives is kept whole, so tests can check the switch's
CR LF texts byte for byte."""
import socket

GATEWAY_SDP = b"v=0\no=- 1 1 IN IP4 127.0.0.9\ns=-\nc=IN IP4 127.0.0.9\nt=0 0\nm=audio 6000 RTP/AVP 0 8\n"


def words(message):
    """The words of the first line of a message: verb or code, transaction id, and so on."""
    return message.split(b"\r\n", 1)[0].split(b" ")


def verb(message):
    return words(message)[0] if message else None


def tid(message):
    return words(message)[1]


def line(message, letter):
    """The whole parameter line that begins with letter (b"" when there is none)."""
    for l in message.split(b"\r\n"):
        if l.startswith(letter + b":"):
            return l
    return b""


class Gateway:
    """One gateway; its transaction ids count up from start."""

    def __init__(self, agent_port, start=1000):
        self.agent = ("127.0.0.1", agent_port)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.next_tid = start

    def send(self, text):
        self.sock.sendto(text, self.agent)

    def command(self, verb_, endpoint, *lines):
        """Sends a command; its transaction id."""
        self.next_tid += 1
        t = b"%d" % self.next_tid
        self.send(b"%s %s %s MGCP 1.0\n" % (verb_, t, endpoint) + b"".join(l + b"\n" for l in lines))
        return t

    def rsip(self, endpoint):
        return self.command(b"RSIP", endpoint, b"RM: restart")

    def ntfy(self, endpoint, event):
        return self.command(b"NTFY", endpoint, b"N: ca@127.0.0.1", b"X: 1", b"O: " + event)

    def reply(self, command, code=b"200", body=b"", conn=b"I: 3F2A"):
        """Answers a command the switch sent; a CRCX answer names its connection and, with a
        body, its media after an empty line."""
        text = code + b" " + tid(command) + (b" OK\n" if code == b"200" else b" failed\n")
        if verb(command) == b"CRCX" and code == b"200":
            text += conn + b"\n"
        if body:
            text += b"\n" + body
        self.send(text)

    def recv(self, timeout=5.0):
        self.sock.settimeout(timeout)
        try:
            return self.sock.recv(65535)
        except socket.timeout:
            return None

    def expect(self, *verbs, timeout=5.0):
        """The next messages, one per verb (or response code) given, in that order."""
        got = [self.recv(timeout) for _ in verbs]
        assert [verb(m) for m in got] == list(verbs), got
        return got if len(got) > 1 else got[0]

    def silent(self, seconds=1.0):
        return self.recv(seconds) is None

    def close(self):
        self.sock.close()

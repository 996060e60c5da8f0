"""Stand-ins for the service program ("*") and the conference program ("#") of a running
sipswitch: each registers with its marker, takes the switch's joined datagrams apart at
"\\r\\n.\\r\\n" and answers each INVITE in it on its own, by its Call-ID."""
import socket
import time

from call_parties import TAIL, first_line, header, sdp_of

SEPARATOR = b"\r\n.\r\n"
MARKERS = {b"*": b"service register", b"#": b"conference register"}


def split(datagram):
    """The INVITEs of a joined datagram, each as it was built (ending with its SDP body): every
    one but the last is followed by the separator, the last by CRLF."""
    assert datagram.endswith(b"\r\n"), datagram
    return datagram[:-2].split(SEPARATOR)


class Program:
    """The service program (number b"*") or the conference program (b"#") on 127.0.0.1."""

    def __init__(self, sw, number, sdp=b"v=0\r\nc=IN IP4 127.0.0.9\r\nm=audio 7000 RTP/AVP 8\r\n"):
        self.sw = sw
        self.number = number
        self.sdp = sdp
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        at = b"127.0.0.1:%d" % self.port
        self.send(b"REGISTER sip:127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP " + at + b";branch=z9hG4bKprog\r\n"
                  b"From: <sip:" + number + b"@127.0.0.1>;tag=r\r\nTo: <sip:" + number + b"@127.0.0.1>\r\n"
                  b"Call-ID: prog" + at + b"\r\nCSeq: 1 REGISTER\r\nKelvanor-Info: " + MARKERS[number] + b"\r\n"
                  b"Contact: <sip:" + number + b"@" + at + b">\r\nExpires: 3600\r\n" + TAIL)
        assert first_line(self.recv()) == b"SIP/2.0 200 OK"

    def send(self, data):
        self.sock.sendto(data, ("127.0.0.1", self.sw.port))

    def recv(self, timeout=5.0):
        self.sock.settimeout(timeout)
        try:
            return self.sock.recv(65535)
        except socket.timeout:
            return None

    def datagram(self, timeout=5.0):
        """The next joined datagram, split into its INVITEs (None when none comes)."""
        data = self.recv(timeout)
        return None if data is None else split(data)

    def datagrams_for(self, seconds):
        """Every datagram that arrives within seconds, each with its arrival time."""
        out, end = [], time.time() + seconds
        while time.time() < end:
            data = self.recv(max(0.01, end - time.time()))
            if data is not None:
                out.append((time.time(), data))
        return out

    def answer(self, invite, status=b"200 OK", sdp=True, tag=b";tag=prog"):
        """Answers one INVITE of a datagram by its own Call-ID."""
        to = header(invite, b"To")
        lines = (b"SIP/2.0 " + status + b"\r\n" + header(invite, b"Via") + b"\r\n" + header(invite, b"From") +
                 b"\r\n" + to + (b"" if b"tag=" in to else tag) + b"\r\n" + header(invite, b"Call-ID") + b"\r\n" +
                 header(invite, b"CSeq") + b"\r\n")
        self.send(lines + (sdp_of(self.sdp) if sdp else TAIL))

    def close(self):
        self.sock.close()

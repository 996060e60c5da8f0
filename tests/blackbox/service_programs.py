"""Stand-ins for the service program ("*") and the conference program ("#") of a running
sipswitch: each registers with its marker, takes the switch's joined datagrams apart at
"\\r\\n.\\r\\n" and answers each INVITE in it on its own, by its Call-ID."""
import time

from call_parties import Phone

SEPARATOR = b"\r\n.\r\n"
MARKERS = {b"*": b"service register", b"#": b"conference register"}


def split(datagram):
    """The INVITEs of a joined datagram, each as it was built (ending with its SDP body): every
    one but the last is followed by the separator, the last by CRLF."""
    assert datagram.endswith(b"\r\n"), datagram
    return datagram[:-2].split(SEPARATOR)


class Program(Phone):
    """The service program (number b"*") or the conference program (b"#") on 127.0.0.1."""

    def __init__(self, sw, number, sdp=b"v=0\r\nc=IN IP4 127.0.0.9\r\nm=audio 7000 RTP/AVP 8\r\n"):
        super().__init__(sw, number, b"Kelvanor-Info: " + MARKERS[number] + b"\r\n")
        self.sdp = sdp

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

    def respond(self, invite, status=b"200 OK", sdp=True):
        """Answers one INVITE of a datagram by its own Call-ID."""
        self.reply(invite, status, self.sdp if sdp else b"")

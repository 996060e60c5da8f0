"""Peers of the switch's service links: TCP clients (dispatch console, billing server, packet
forwarder, query client) and UDP peers (record server, monitors), each reading exactly what the
switch sends."""
import socket
import struct
import time

# Linux's option for the arrival time of each datagram (struct timespec); Python names it not.
SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)


def tcp_connect(port, timeout=5.0):
    """A TCP connection to the switch's port on 127.0.0.1, retried while the listener comes up."""
    end = time.time() + timeout
    while True:
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            s.connect(("127.0.0.1", port))
            return s
        except OSError:
            s.close()
            if time.time() > end:
                raise
            time.sleep(0.05)


class TcpPeer:
    """One TCP connection whose incoming bytes are read as exact records."""

    def __init__(self, port):
        self.sock = tcp_connect(port)
        self.buf = b""

    def send(self, data):
        self.sock.sendall(data)

    def read(self, size, timeout=5.0):
        """Exactly size bytes, or what came before the timeout or the close."""
        end = time.time() + timeout
        while len(self.buf) < size:
            left = end - time.time()
            if left <= 0:
                break
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                break
            if not chunk:
                break
            self.buf += chunk
        out, self.buf = self.buf[:size], self.buf[size:]
        return out

    def silent(self, seconds=1.0):
        """True when nothing arrives for that long (a close counts as something)."""
        if self.buf:
            return False
        self.sock.settimeout(seconds)
        try:
            chunk = self.sock.recv(65536)
        except socket.timeout:
            return True
        self.buf += chunk
        return False

    def closed_by_switch(self, timeout=5.0):
        """True once the switch has closed the connection (unread bytes are dropped)."""
        end = time.time() + timeout
        while time.time() < end:
            self.sock.settimeout(max(0.01, end - time.time()))
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                return False
            except ConnectionResetError:
                return True
            if not chunk:
                return True
        return False

    def close(self):
        self.sock.close()


# Dispatch console frames.
def console_frame(kind, seq=1, body=b"", origin=1):
    return struct.pack(">BBBBH", 0xF5, seq, origin, kind, len(body)) + body


def number_field(number, width=25):
    return number.ljust(width, b"\0")[:width]


def console_status(number, status):
    """The 42-byte status frame of the switch for number."""
    return struct.pack(">BBBBH", 0xF5, 0, 2, 5, 36) + bytes([status]) + number_field(number) + b"\0" * 10


class UdpPeer:
    """A UDP socket on 127.0.0.1 (a given port or a free one)."""

    def __init__(self, port=0):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", port))
        self.port = self.sock.getsockname()[1]

    def send(self, data, port):
        self.sock.sendto(data, ("127.0.0.1", port))

    def recv(self, timeout=5.0):
        self.sock.settimeout(timeout)
        try:
            return self.sock.recv(65535)
        except socket.timeout:
            return None

    def recv_stamped(self, timeout=5.0):
        """The next datagram and when the kernel took it in (seconds, time.time's clock), so
        that a slow reader does not shift the intervals it measures; (None, None) when none
        comes within timeout."""
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.sock.settimeout(timeout)
        try:
            data, ancillary, _, _ = self.sock.recvmsg(65535, socket.CMSG_SPACE(16))
        except socket.timeout:
            return None, None
        for level, kind, value in ancillary:
            if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                sec, nsec = struct.unpack("qq", value[:16])
                return data, sec + nsec / 1e9
        return data, time.time()

    def recv_all(self, timeout=1.0):
        """Every datagram until none comes for timeout seconds."""
        out = []
        while True:
            d = self.recv(timeout)
            if d is None:
                return out
            out.append(d)

    def close(self):
        self.sock.close()

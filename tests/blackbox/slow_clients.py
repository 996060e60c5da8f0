"""Slow HTTP clients for the broadcast server: connections that send a request header a byte at a
time, never finishing it, so each holds whatever the server gives a client that is still coming."""
import socket
import time

SLOW_HEADER = b"GET /broadcast/StopBroadcast HTTP/1.1\r\nHost: slow\r\nX-Slow: " + b"a" * 4000


class SlowClients:
    """count connections to port, each sending one more byte of its header every gap seconds
    (shorter than the server's wait for a client's next bytes) when trickle() is called."""

    def __init__(self, port, count, gap=0.5):
        self.gap = gap
        self.socks = []
        self.sent = []
        for _ in range(count):
            s = socket.create_connection(("127.0.0.1", port), timeout=5)
            s.setblocking(False)
            self.socks.append(s)
            self.sent.append(0)
        self.next = time.time()

    def trickle(self):
        if time.time() < self.next:
            return
        for i, s in enumerate(self.socks):
            if self.sent[i] < len(SLOW_HEADER):
                try:
                    s.send(SLOW_HEADER[self.sent[i]:self.sent[i] + 1])
                    self.sent[i] += 1
                except OSError:
                    pass
        self.next = time.time() + self.gap

    def still_waiting(self):
        """How many are still connected without any answer."""
        n = 0
        for s in self.socks:
            try:
                if s.recv(1):
                    continue
            except BlockingIOError:
                n += 1
            except OSError:
                pass
        return n

    def close(self):
        for s in self.socks:
            s.close()


def plain_request(port, slow, timeout=30.0):
    """A StopBroadcast on a new connection while the slow clients go on trickling; the reply and
    the seconds it took."""
    start = time.time()
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    s.setblocking(False)
    s.sendall(b"GET /broadcast/StopBroadcast HTTP/1.1\r\nHost: plain\r\n\r\n")
    got = b""
    took = None
    while time.time() < start + timeout:
        slow.trickle()
        try:
            chunk = s.recv(65536)
        except BlockingIOError:
            time.sleep(0.005)
            continue
        if took is None:
            took = time.time() - start
        if not chunk:
            break
        got += chunk
    s.close()
    return got, took

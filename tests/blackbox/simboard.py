"""Client of the simulated board's control socket ("dev/AG0.ctl" beside the device file).

The protocol is documented in api/driver_api/sim/sim_board.h: one command per datagram,
one reply per command. Replies come once the program next makes a board request.
"""
import os
import socket

from harness import wait_for


class SimBoard:
    def __init__(self, board, timeout=10.0):
        self.ctl = board.path("dev/AG0.ctl")
        self.me = board.path("var/ctl-client-%d.sock" % os.getpid())
        if os.path.exists(self.me):
            os.unlink(self.me)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.me)
        self.sock.settimeout(timeout)

    def wait_ready(self, timeout=10.0):
        """Waits until the program has opened the device (the socket exists)."""
        return wait_for(lambda: os.path.exists(self.ctl), timeout)

    def send(self, command):
        self.sock.sendto(command.encode(), self.ctl)
        return self.sock.recv(65536).decode()

    def set(self, name, value):
        reply = self.send("set %s %s" % (name, value))
        if reply != "ok":
            raise AssertionError("set %s %s: %s" % (name, value, reply))

    def outputs(self):
        """Every output entry not read yet, as (milliseconds, text)."""
        entries = []
        while True:
            reply = self.send("log")
            if not reply:
                return entries
            for line in reply.splitlines():
                ms, _, text = line.partition(" ")
                entries.append((int(ms) if ms.isdigit() else -1, text if ms.isdigit() else line))

    def close(self):
        self.sock.close()
        if os.path.exists(self.me):
            os.unlink(self.me)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

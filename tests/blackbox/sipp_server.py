"""SIPp as a server (registrar, softswitch) for the gateway's black-box tests: one scenario of
tests/sipp run in the background on an address and port of its own, with every message traced."""
import os
import re
import subprocess
import time

from harness import SIPP_BIND_FAILED, SOURCE_DIR, free_port, sipp_messages, wait_bound

SIPP_DIR = os.path.join(SOURCE_DIR, "tests", "sipp")
TRACE_STAMP = re.compile(rb"-{40,} (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d+)\n(UDP message \w+)")


class SippServer:
    """scenario on ip and port (a free one when none), started at once; keys are SIPp's -key
    pairs. start() again (after stop()) brings it back on the same port with a fresh trace."""

    def __init__(self, board, scenario, ip="127.0.0.1", port=None, keys=()):
        self.board, self.scenario, self.ip, self.keys = board, scenario, ip, keys
        self.own_port = port is None   # a port of its own choosing may be changed until the first start
        self.port = port or free_port()
        self.runs = 0
        self.proc = None
        self.start()

    def start(self):
        """Starts SIPp and waits until it holds its port. A port it chose itself, taken by
        something else before SIPp bound it, is given up for another on the first start."""
        for _ in range(5):
            self.runs += 1
            self.trace = self.board.path("var/sipp-%s-%d-%d.log" % (self.ip, self.port, self.runs))
            args = ["sipp", "-sf", os.path.join(SIPP_DIR, self.scenario), "-i", self.ip, "-p", str(self.port),
                    "-nr", "-nostdin", "-trace_msg", "-message_file", self.trace]
            for k, v in self.keys:
                args += ["-key", k, str(v)]
            self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                         cwd=self.board.path("var"))
            if wait_bound(self.proc, self.port) or self.proc.poll() != SIPP_BIND_FAILED:
                break
            if self.own_port and self.runs == 1:
                self.port = free_port()
            self.runs -= 1
        self.own_port = False

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def messages(self):
        """What this run sent and received, as harness.sipp_messages gives them."""
        return sipp_messages(self.trace)

    def received(self, method):
        """The requests of method this run received, in order."""
        return [m for kind, m in self.messages() if kind == b"received" and m.startswith(method + b" ")]

    def received_times(self, method):
        """When this run received each request of method (seconds)."""
        if not os.path.exists(self.trace):
            return []
        with open(self.trace, "rb") as f:
            data = f.read()
        out = []
        for m in TRACE_STAMP.finditer(data):
            body = data.find(b"\n\n", m.end()) + 2
            if m.group(2) == b"UDP message received" and data.startswith(method + b" ", body):
                stamp, frac = m.group(1).decode().split(".")
                out.append(time.mktime(time.strptime(stamp, "%Y-%m-%d %H:%M:%S")) + float("0." + frac))
        return out

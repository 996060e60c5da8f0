"""Scratch board roots and running programs for the black-box tests (standard library only)."""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

BUILD_DIR = os.environ.get("BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
SOURCE_DIR = os.environ.get("SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))

# Harmless stand-ins for the commands the programs hand to the shell; each only notes its call.
STANDINS = ["reboot", "ifconfig", "killall", "ntpclient", "date"]


def gbk(text):
    return text.encode("gbk")


def free_port(kind=socket.SOCK_DGRAM):
    """A port that is free for both UDP and TCP at the moment of asking."""
    for _ in range(200):
        with socket.socket(socket.AF_INET, kind) as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        other = socket.SOCK_STREAM if kind == socket.SOCK_DGRAM else socket.SOCK_DGRAM
        try:
            with socket.socket(socket.AF_INET, other) as s2:
                s2.bind(("127.0.0.1", port))
            return port
        except OSError:
            continue
    raise RuntimeError("no free port")


class Board:
    """A scratch board root: the directory tree a program expects, under BOARD_ROOT."""

    def __init__(self, keep=False):
        self.root = tempfile.mkdtemp(prefix="board-")
        self.keep = keep or os.environ.get("KEEP_BOARD") == "1"
        for d in ("root/switch", "tmp/log", "var", "bin", "sbin", "root/log", "var/www", "dev"):
            os.makedirs(self.path(d), exist_ok=True)
        # A plain file as the board device: the simulated board answers (dev/AG0.ctl).
        open(self.path("dev/AG0"), "a").close()
        for name in STANDINS:
            self._standin(self.path("bin", name), name)
        self._standin(self.path("sbin", "reboot"), "/sbin/reboot")
        self.procs = []

    def _standin(self, where, name):
        with open(where, "w") as f:
            f.write('#!/bin/sh\necho "%s $*" >> "$BOARD_ROOT/var/standin.log"\nexit 0\n' % name)
        os.chmod(where, 0o755)

    def path(self, *parts):
        return os.path.join(self.root, *[p.lstrip("/") for p in parts])

    def write(self, rel, data, mode="w"):
        with open(self.path(rel), mode) as f:
            f.write(data)

    def read(self, rel, mode="rb"):
        with open(self.path(rel), mode) as f:
            return f.read()

    def exists(self, rel):
        return os.path.exists(self.path(rel))

    def write_settings(self, text):
        self.write("root/switch/sip_server.ini", text)

    def env(self):
        e = dict(os.environ)
        e["BOARD_ROOT"] = self.root
        return e

    def start(self, program, args=(), **kw):
        exe = os.path.join(BUILD_DIR, program)
        p = subprocess.Popen([exe, *args], cwd=self.root, env=self.env(),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)
        self.procs.append(p)
        return p

    def run(self, program, args=(), timeout=20):
        exe = os.path.join(BUILD_DIR, program)
        return subprocess.run([exe, *args], cwd=self.root, env=self.env(),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)

    def close(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
                p.wait()
            for s in (p.stdout, p.stderr):
                if s:
                    s.close()
        if not self.keep:
            shutil.rmtree(self.root, ignore_errors=True)
        else:
            print("board kept at", self.root, file=sys.stderr)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def wait_for(pred, timeout=10.0, step=0.02):
    end = time.time() + timeout
    while time.time() < end:
        v = pred()
        if v:
            return v
        time.sleep(step)
    return pred()


def read_until(stream, marker, timeout=10.0):
    """Reads a pipe until marker (bytes) has been seen; returns all that was read."""
    import select
    buf = b""
    end = time.time() + timeout
    fd = stream.fileno()
    while marker not in buf and time.time() < end:
        r, _, _ = select.select([fd], [], [], 0.1)
        if r:
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            buf += chunk
    return buf


def stop(proc, sig=signal.SIGTERM, timeout=10):
    proc.send_signal(sig)
    out, err = proc.communicate(timeout=timeout)
    return proc.returncode, out, err


def in_private_netns(argv):
    """Re-runs this script inside a private user+network namespace unless already inside."""
    if os.environ.get("IN_PRIVATE_NETNS") == "1":
        return False
    env = dict(os.environ, IN_PRIVATE_NETNS="1")
    r = subprocess.run(["unshare", "-rn", sys.executable, *argv], env=env)
    sys.exit(r.returncode)


def make_eth0(addr="10.77.0.5/24"):
    """Inside a private network namespace: an eth0 (one end of a veth pair) that is up."""
    cmds = [
        ["ip", "link", "add", "eth0", "type", "veth", "peer", "name", "eth0peer"],
        ["ip", "addr", "add", addr, "dev", "eth0"],
        ["ip", "link", "set", "eth0", "up"],
        ["ip", "link", "set", "eth0peer", "up"],
        ["ip", "link", "set", "lo", "up"],
    ]
    for c in cmds:
        subprocess.run(c, check=True)


def in_private_ipc(argv):
    """Re-runs this script in a private IPC namespace (its own System V segments, so key 5063
    is never shared with another test or a real gateway) unless already inside."""
    if os.environ.get("IN_PRIVATE_IPC") == "1":
        return False
    env = dict(os.environ, IN_PRIVATE_IPC="1")
    flags = "-i" if os.geteuid() == 0 else "-ri"
    r = subprocess.run(["unshare", flags, sys.executable, *argv], env=env)
    sys.exit(r.returncode)


def sipp_messages(path):
    """The messages of a SIPp trace as (b"sent" or b"received", exact bytes), in order."""
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        data = f.read()
    out = []
    for m in re.finditer(rb"UDP message (sent) \((\d+) bytes\):\n\n|UDP message (received) \[(\d+)\] bytes :\n\n", data):
        kind = m.group(1) or m.group(3)
        size = int(m.group(2) or m.group(4))
        out.append((kind, data[m.end():m.end() + size]))
    return out


def start_http_harness(board, port, limits=(), close_stdin=False, timeout=10.0):
    """The HTTP broadcast server alone (http_harness; radiogate never starts it) on port, its
    working directory the board root; limits are (header ms, body ms, upload bytes). Its console
    goes to var/http_harness.out. Returns the process once the server listens."""
    out_path = board.path("var/http_harness.out")
    out = open(out_path, "wb")
    exe = os.path.join(BUILD_DIR, "http_harness")
    # With its standard input closed the listener gets descriptor 0.
    p = subprocess.Popen([exe, str(port), *[str(x) for x in limits]], cwd=board.root, env=board.env(),
                         stdin=subprocess.DEVNULL if not close_stdin else None, stdout=out, stderr=subprocess.STDOUT,
                         preexec_fn=(lambda: os.close(0)) if close_stdin else None)
    out.close()
    board.procs.append(p)

    def ready():
        with open(out_path, "rb") as f:
            return b"http harness ready" in f.read() or p.poll() is not None
    wait_for(ready, timeout)
    if p.poll() is not None or not ready():
        raise RuntimeError("http_harness did not start")
    return p

"""Scratch board roots, the starters of the programs and the one launcher every black-box
script runs through (standard library only).

A script ends with `harness.main()`: it re-runs itself inside private user, network and IPC
namespaces that hold an "eth0", then runs its tests. Programs start only through
`start_switch`, `start_gate`, `start_gate_broadcast` and `start_http`, which refuse to run outside those namespaces."""
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

# Absolute: programs run with the board root as their working directory.
BUILD_DIR = os.path.abspath(os.environ.get("BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build")))
SOURCE_DIR = os.path.abspath(os.environ.get("SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", "..")))
MAKE_BOARD = os.path.join(SOURCE_DIR, "scripts", "make_board.sh")

SETTINGS = "root/switch/sip_server.ini"
# What each program prints once it is up: the last line of sipswitch's banner, and the end of
# the last table box radiogate prints at start-up (the serial settings). radiogate binds its SIP
# socket only after that box, so its readiness waits for the socket too (Gate.wait_ready).
SWITCH_READY = re.compile(re.escape(b"*" * 65 + b"\n\n"))
GATE_READY = re.compile(rb"\| COM2_DATA_CONTROL .*?\n\n", re.S)
GATE_DB = "var/www/QVD.db"
# The HTTP broadcast server's own port, and its harness's line once it listens.
HTTP_PORT = 8081
HTTP_READY = b"http harness ready\n"

# The address of the namespace's eth0.
ETH0_ADDR = "10.77.0.5"
ETH0_PREFIX = 24
_LAUNCHED = "BLACKBOX_NAMESPACES"


def gbk(text):
    return text.encode("gbk")


def _netns():
    return os.readlink("/proc/self/ns/net")


def _make_eth0():
    """One end of a veth pair named eth0, up with its address, and the loopback up."""
    for c in (["ip", "link", "add", "eth0", "type", "veth", "peer", "name", "eth0peer"],
              ["ip", "addr", "add", "%s/%d" % (ETH0_ADDR, ETH0_PREFIX), "dev", "eth0"],
              ["ip", "link", "set", "eth0", "up"],
              ["ip", "link", "set", "eth0peer", "up"],
              ["ip", "link", "set", "lo", "up"]):
        subprocess.run(c, check=True)


# Run as root, the launcher's namespace keeps user and group ids 0..65535 as themselves, so a
# test can run programs as other users (claim_uid).
_MAPPED_IDS = 65536
_SPARE_UIDS = range(20000, 30000)


def _unshare_mapped(argv, env):
    """As root: unshare user, network and IPC namespaces in a child whose user and group ids
    0..65535 stay themselves (only the parent namespace's root may write such a map), then run
    argv there; exits with the child's status."""
    import ctypes
    libc = ctypes.CDLL(None, use_errno=True)
    clone_newuser, clone_newnet, clone_newipc = 0x10000000, 0x40000000, 0x08000000
    unshared_r, unshared_w = os.pipe()
    mapped_r, mapped_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(unshared_r)
        os.close(mapped_w)
        if libc.unshare(clone_newuser | clone_newnet | clone_newipc) != 0:
            os._exit(125)
        os.write(unshared_w, b"u")
        if os.read(mapped_r, 1) != b"m":
            os._exit(125)
        os.execvpe(sys.executable, [sys.executable, *argv], env)
    os.close(unshared_w)
    os.close(mapped_r)
    if os.read(unshared_r, 1) == b"u":
        for kind in ("uid_map", "gid_map"):
            with open("/proc/%d/%s" % (pid, kind), "w") as f:
                f.write("0 0 %d\n" % _MAPPED_IDS)
        os.write(mapped_w, b"m")
    os.close(mapped_w)
    _, status = os.waitpid(pid, 0)
    sys.exit(os.waitstatus_to_exitcode(status))


def launch(argv):
    """Re-runs the script (argv) inside private user, network and IPC namespaces, unless it
    already runs inside them; there it lays out eth0 once. Ports, the loopback and System V
    segments (radiogate's key 5063) are then the script's own, so scripts run in parallel.
    Run as root, the namespace maps the ids 0..65535; otherwise only root (the caller)."""
    state = os.environ.get(_LAUNCHED)
    if state == _netns():
        return
    if state == "entering":
        _make_eth0()
        os.environ[_LAUNCHED] = _netns()
        return
    env = dict(os.environ, **{_LAUNCHED: "entering"})
    if os.geteuid() == 0:
        _unshare_mapped(argv, env)
    os.execvpe("unshare", ["unshare", "--user", "--map-root-user", "--net", "--ipc",
                           sys.executable, *argv], env)


def uid_mapped(uid):
    """True when uid is a user of the launcher's namespace."""
    with open("/proc/self/uid_map") as f:
        for line in f:
            inner, _, count = (int(x) for x in line.split())
            if inner <= uid < inner + count:
                return True
    return False


def _uid_lock(uid):
    return "/tmp/blackbox-uid-%d" % uid


def claim_uid():
    """A user id of the launcher's namespace that no other running test holds, for a program
    that names shared files after its user (linphonec's socket in /tmp); None when the
    namespace maps no spare id. Give it back with release_uid."""
    for uid in _SPARE_UIDS:
        if not uid_mapped(uid):
            return None
        path = _uid_lock(uid)
        try:
            fd = os.open(path, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o644)
        except FileExistsError:
            try:
                with open(path) as f:
                    holder = int(f.read())
                if holder <= 0:
                    raise ValueError(path)
                os.kill(holder, 0)
                continue
            except (ProcessLookupError, ValueError):
                os.unlink(path)   # its holder has gone: try it again
                try:
                    fd = os.open(path, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o644)
                except FileExistsError:
                    continue
            except OSError:
                continue
        os.write(fd, str(os.getpid()).encode())
        os.close(fd)
        return uid
    return None


def release_uid(uid):
    try:
        os.unlink(_uid_lock(uid))
    except FileNotFoundError:
        pass


def main():
    """The entry of every black-box script."""
    launch(sys.argv)
    unittest.main(module="__main__")


def _check_launched():
    if os.environ.get(_LAUNCHED) != _netns():
        raise RuntimeError("programs run only inside the launcher's namespaces: end the script with harness.main()")


# Ports this script was given: the kernel may hand the same free port to two askings in a row
# (a switch's SIP and MGCP ports were once the same), so none is given twice.
_given_ports = set()


def free_port(kind=socket.SOCK_DGRAM):
    """A port that is free for both UDP and TCP at the moment of asking, and not given before."""
    for _ in range(200):
        with socket.socket(socket.AF_INET, kind) as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if port in _given_ports:
            continue
        other = socket.SOCK_STREAM if kind == socket.SOCK_DGRAM else socket.SOCK_DGRAM
        try:
            with socket.socket(socket.AF_INET, other) as s2:
                s2.bind(("127.0.0.1", port))
            _given_ports.add(port)
            return port
        except OSError:
            continue
    raise RuntimeError("no free port")


class Board:
    """A scratch board root laid out by scripts/make_board.sh, as ./run.sh lays out its own."""

    def __init__(self, keep=False):
        self.root = tempfile.mkdtemp(prefix="board-")
        self.keep = keep or os.environ.get("KEEP_BOARD") == "1"
        self.procs = []
        subprocess.run([MAKE_BOARD, self.root], check=True, stdout=subprocess.DEVNULL)

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
        self.write(SETTINGS, text)

    def env(self):
        e = dict(os.environ)
        e["BOARD_ROOT"] = self.root
        return e

    def close(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
                p.wait()
            for s in (p.stdin, p.stdout, p.stderr):
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


def _popen(board, exe, args, **kw):
    kw.setdefault("stdout", subprocess.PIPE)
    kw.setdefault("stderr", subprocess.PIPE)
    p = subprocess.Popen([os.path.join(BUILD_DIR, exe), *args], cwd=board.root, env=board.env(), **kw)
    board.procs.append(p)
    return p


class Program:
    """One program running on a board, and everything it has printed on its console so far."""

    def __init__(self, board, exe, ready, args=()):
        _check_launched()
        self.board = board
        self.ready = ready
        self.p = _popen(board, exe, args)
        self.out = b""
        self.err = b""

    def read(self, timeout):
        """Reads what the console has within timeout seconds."""
        end = time.time() + timeout
        fd = self.p.stdout.fileno()
        while True:
            left = end - time.time()
            if left <= 0:
                return
            r, _, _ = select.select([fd], [], [], min(left, 0.05))
            if r:
                chunk = os.read(fd, 65536)
                if not chunk:
                    return
                self.out += chunk

    def _seen(self, marker, since):
        tail = self.out[since:]
        return marker.search(tail) is not None if isinstance(marker, re.Pattern) else marker in tail

    def wait_out(self, marker, since=0, timeout=10.0):
        """True once marker (bytes or a pattern) appears in the console output after byte since."""
        end = time.time() + timeout
        while not self._seen(marker, since):
            if time.time() >= end or self.p.poll() is not None:
                self.read(0.05)
                return self._seen(marker, since)
            self.read(0.05)
        return True

    def wait_ready(self, timeout=10.0):
        return self.wait_out(self.ready, timeout=timeout)

    def mark(self):
        """A position in the output; later waits look only at what comes after it."""
        self.read(0.01)
        return len(self.out)

    def poll(self):
        return self.p.poll()

    def send_signal(self, sig):
        self.p.send_signal(sig)

    def finish(self, timeout=20):
        """Waits for the end; the program itself then reads as a finished run."""
        out, err = self.p.communicate(timeout=timeout)
        self.out += out
        self.err += err
        return self

    def stop(self, sig=signal.SIGTERM, timeout=10):
        """Ends the program with sig; its exit status and what it printed on standard error."""
        self.p.send_signal(sig)
        self.finish(timeout)
        return self.p.returncode, self.err

    @property
    def returncode(self):
        return self.p.returncode

    @property
    def stdout(self):
        return self.out

    @property
    def stderr(self):
        return self.err


def _socket_inodes(pid):
    """The inodes of the sockets process pid holds open."""
    inodes = set()
    fd_dir = "/proc/%d/fd" % pid
    try:
        names = os.listdir(fd_dir)
    except OSError:
        return inodes
    for name in names:
        try:
            link = os.readlink(os.path.join(fd_dir, name))
        except OSError:
            continue
        if link.startswith("socket:["):
            inodes.add(int(link[8:-1]))
    return inodes


def _holds(pid, tables, port, state=None):
    """True when process pid holds a socket of the /proc/net tables on local port (in state,
    the tables' hexadecimal state, when given)."""
    held = _socket_inodes(pid)
    for table in tables:
        try:
            with open(table) as f:
                rows = f.read().splitlines()[1:]
        except OSError:
            continue
        for row in rows:
            fields = row.split()
            if (int(fields[1].rsplit(":", 1)[1], 16) == port and state in (None, fields[3])
                    and int(fields[9]) in held):
                return True
    return False


def udp_bound(pid, port):
    """True when process pid holds a UDP socket bound to port (any address, IPv4 or IPv6)."""
    return _holds(pid, ("/proc/net/udp", "/proc/net/udp6"), port)


# SIPp's exit status when it could not bind its socket (the port it was given was taken between
# free_port and its start): the start is worth another try on another port.
SIPP_BIND_FAILED = 254


def wait_bound(proc, port, timeout=10.0):
    """True once the started peer proc (a Popen) holds a UDP socket on port; False when it ends
    first or the time runs out."""
    end = time.time() + timeout
    while not udp_bound(proc.pid, port):
        if proc.poll() is not None or time.time() >= end:
            return proc.poll() is None and udp_bound(proc.pid, port)
        time.sleep(0.01)
    return True


def run_sipp(args, port=None, attempts=5, **kw):
    """subprocess.run of a SIPp that binds "-p" port: a free one when port is None, and then a new
    one whenever SIPp could not bind it. args hold "-p" with a placeholder; the completed run."""
    for _ in range(attempts):
        p = port or free_port()
        r = subprocess.run([str(p) if a is PORT_ARG else a for a in args], **kw)
        if r.returncode != SIPP_BIND_FAILED or port is not None:
            return r
    return r


class _PortArg:
    def __repr__(self):
        return "PORT_ARG"


# The place of the peer's own port in run_sipp's args.
PORT_ARG = _PortArg()


def tcp_accepted(pid, port):
    """True when process pid holds an established TCP connection on its local port (one its
    listener on port has accepted)."""
    return _holds(pid, ("/proc/net/tcp", "/proc/net/tcp6"), port, "01")


class Gate(Program):
    """radiogate: ready once its start-up tables are printed and its SIP socket is bound."""

    def __init__(self, board, args=()):
        super().__init__(board, "radiogate", GATE_READY, args)

    def sip_port(self):
        """LOCAL_SIP_PORT of the board's database; None when it has none."""
        import sqlite3
        path = self.board.path(GATE_DB)
        if not os.path.exists(path):
            return None
        try:
            con = sqlite3.connect("file:%s?mode=ro" % path, uri=True)
            try:
                row = con.execute("SELECT M_VALUE FROM TB_INI WHERE M_NAME='LOCAL_SIP_PORT'").fetchone()
            finally:
                con.close()
            return int(row[0]) if row and int(row[0]) > 0 else None
        except (sqlite3.Error, ValueError):
            return None

    def wait_ready(self, timeout=10.0):
        end = time.time() + timeout
        if not self.wait_out(self.ready, timeout=timeout):
            return False
        port = self.sip_port()
        if port is None:
            return True
        while not udp_bound(self.p.pid, port):
            if time.time() >= end or self.p.poll() is not None:
                return udp_bound(self.p.pid, port)
            self.read(0.02)
        return True


def start_switch(board, wait=True, timeout=10.0):
    """sipswitch on board, by default waited for until its banner is out."""
    prog = Program(board, "sipswitch", SWITCH_READY)
    if wait:
        prog.wait_ready(timeout)
    return prog


def start_gate(board, args=()):
    """radiogate on board; wait_ready() waits for the end of its start-up, its SIP socket bound."""
    return Gate(board, args)


class GateBroadcast(Gate):
    """gate_broadcast: radiogate with its HTTP broadcast server (on HTTP_PORT) and its broadcast
    player started; ready once radiogate is and the server listens."""

    def __init__(self, board, args=()):
        Program.__init__(self, board, "gate_broadcast", GATE_READY, args)

    def wait_ready(self, timeout=10.0):
        end = time.time() + timeout
        if not super().wait_ready(timeout):
            return False
        while not _holds(self.p.pid, ("/proc/net/tcp", "/proc/net/tcp6"), HTTP_PORT, "0A"):
            if time.time() >= end or self.p.poll() is not None:
                return False
            self.read(0.02)
        return True


def start_gate_broadcast(board, args=()):
    """radiogate with the HTTP broadcast server and the player started (radiogate itself starts
    neither); wait_ready() as start_gate's, and the server listening."""
    return GateBroadcast(board, args)


def start_http(board, port=HTTP_PORT, limits=(), stdin_closed=False):
    """radiogate's HTTP broadcast server alone (http_harness: radiogate itself never starts it)
    on port, in the board root, waited for until it listens. limits are (header ms, body ms,
    upload bytes); stdin_closed gives the listener descriptor 0."""
    args = (["--stdin-closed"] if stdin_closed else []) + [str(port), *[str(x) for x in limits]]
    prog = Program(board, "http_harness", HTTP_READY, args)
    if not prog.wait_ready():
        raise RuntimeError("http_harness did not start: %r" % prog.out)
    return prog


class Switch:
    """sipswitch on its own scratch board and SIP and MGCP ports on 127.0.0.1; debug, when given,
    is its sip_debug setting. prepare(board), when given, lays out files before the start."""

    def __init__(self, settings="", debug=None, prepare=None):
        self.board = Board()
        self.port = free_port()
        self.mgcp_port = free_port()
        if prepare:
            prepare(self.board)
        # The first value of a key counts: the test's own settings come before the free MGCP port.
        self.board.write_settings("sip_server_local_host=127.0.0.1\nsip_server_local_port=%d\n%s%smgcp_localport=%d\n"
                                  % (self.port, "" if debug is None else "sip_debug=%d\n" % debug, settings,
                                     self.mgcp_port))
        self.prog = start_switch(self.board)
        self.banner = self.prog.out

    def close(self):
        """Ends the switch (SIGTERM) and removes its board; its exit status."""
        rc = None
        if self.prog.poll() is None:
            rc, _ = self.prog.stop()
        self.board.close()
        return rc


def run_tool(name, board=None, timeout=60, **kw):
    """A test tool of the build run to its end (on board, when given)."""
    kw.setdefault("stdout", subprocess.PIPE)
    kw.setdefault("stderr", subprocess.PIPE)
    cwd, env = (board.root, board.env()) if board else (None, None)
    return subprocess.run([os.path.join(BUILD_DIR, name)], cwd=cwd, env=env, timeout=timeout, **kw)


def start_tool(name, board, **kw):
    """A test tool of the build started on board; the board ends it when it closes."""
    return _popen(board, name, (), **kw)


def wait_for(pred, timeout=10.0, step=0.02):
    end = time.time() + timeout
    while time.time() < end:
        v = pred()
        if v:
            return v
        time.sleep(step)
    return pred()


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


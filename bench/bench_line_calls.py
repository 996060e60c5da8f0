#!/usr/bin/env python3
"""The gateway's lines in calls through the board's own sipswitch, on the simulated board.

Soak: --calls calls (default 500) from plain phones to the two lines in turn, ending each way
such a call ends: the phone's BYE after voice both ways, a refusal within the one-second guard,
the busy line, an unacceptable re-INVITE (the call goes on) then the phone's BYE, and an INVITE
without offer whose ACK brings none (the line's BYE). Reports the calls that did not end as
they should, the gateway's resident memory after the first round and every hundred calls, and
whether both lines came back idle with their stack channel and RTP port free.
Set-up: the time from the phone's INVITE to the line's 200 as the phone sees it (through the
switch), median and 95th percentile of the answered calls.
CPU: nine lines (a nine-line board) each in a call with 50 packets a second both ways for
--seconds; the gateway's CPU share.

    python3 bench/bench_line_calls.py [--build DIR] [--calls N] [--seconds S]
"""
import argparse
import os
import socket
import statistics
import struct
import sys
import time
import types

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "blackbox"))

BOARD_IP = "10.77.0.5"
KEY_AND_TIME = {"T_BUSY_TONE": 1, "T_NO_RTP": 60}


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def sdp(port, pts=b"8"):
    return (b"v=0\r\no=phone 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
            b"m=audio %d RTP/AVP %s\r\n" % (port, pts))


def rtp(seq):
    return struct.pack("!BBHII", 0x80, 8, seq & 0xFFFF, seq * 160, 0x4321) + b"\xaa\x2a" * 80


class Bench:
    def __init__(self, lines, ini=None):
        import harness
        from gate import DB, gate_board, make_qvd_db
        from simboard import SimBoard
        from webcfg import Segment
        self.board = gate_board()
        cors = [dict(make_qvd_db.user_cor_row(line), NET_COR_TYPE=0) for line in range(lines)]
        make_qvd_db.make_db(self.board.path(DB), lines=lines, ini=ini, key_and_time=KEY_AND_TIME, user_cors=cors)
        self.sw = harness.start_switch(self.board)
        self.gate = harness.start_gate(self.board)
        if not self.gate.wait_ready(timeout=20):
            raise SystemExit("radiogate did not start")
        self.seg = Segment()
        self.sim = SimBoard(self.board)
        self.sim.wait_ready()
        self.switch = types.SimpleNamespace(board=self.board, port=5060, runs=0)
        self.lines = lines
        if not harness.wait_for(lambda: self.gate.read(0.02) or all(
                self.seg.line_status(i)["register_result"] == 1 for i in range(lines)), timeout=30):
            raise SystemExit("the lines did not register")

    def line(self, i):
        self.gate.read(0.005)
        return self.seg.line_status(i)

    def wait_line(self, i, timeout=10.0, **want):
        import harness
        return harness.wait_for(lambda: all(self.line(i)[k] == v for k, v in want.items()), timeout=timeout, step=0.005)

    def close(self):
        self.sim.close()
        self.seg.remove()
        self.gate.stop()
        self.sw.stop()
        self.board.close()


def final(phone, callid, timeout=5.0):
    """The phone's final answer to its INVITE callid (None without one)."""
    from call_parties import first_line, header
    end = time.time() + timeout
    while time.time() < end:
        m = phone.recv(timeout=max(0.01, end - time.time()))
        if m is None:
            return None
        if header(m, b"Call-ID") == b"Call-ID: " + callid and not first_line(m).startswith(b"SIP/2.0 1") \
                and first_line(m).startswith(b"SIP/2.0 "):
            return m
    return None


def wait_message(phone, start, callid, timeout=5.0):
    from call_parties import first_line, header
    end = time.time() + timeout
    while time.time() < end:
        m = phone.recv(timeout=max(0.01, end - time.time()))
        if m is not None and first_line(m).startswith(start) and header(m, b"Call-ID") == b"Call-ID: " + callid:
            return m
    return None


def soak(args):
    from call_parties import Phone, first_line
    b = Bench(2)
    try:
        phone, other = Phone(b.switch, b"9001"), Phone(b.switch, b"9002")
        media = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        media.bind(("127.0.0.1", 0))
        mport = media.getsockname()[1]
        failed, setup, rss = [], [], []
        ways = ["bye", "guard", "busy", "reinvite", "nooffer"]
        seq = 0
        for n in range(args.calls):
            line = n % 2
            tel = b"%d" % (8001 + line)
            way = ways[(n // 2) % len(ways)]
            cid = b"soak%d" % n
            ok = True
            if way == "nooffer":
                phone.send(phone.request(b"INVITE", cid, tel, 1, b""))
                ans = final(phone, cid)
                ok = ans is not None and first_line(ans).startswith(b"SIP/2.0 200")
                if ok:
                    phone.send(phone.request(b"ACK", cid, tel, 1))
                    bye = wait_message(phone, b"BYE", cid)
                    ok = bye is not None
                    if bye is not None:
                        phone.reply(bye, b"200 OK")
            else:
                t0 = time.time()
                phone.send(phone.request(b"INVITE", cid, tel, 1, sdp(mport)))
                ans = final(phone, cid)
                if ans is None or not first_line(ans).startswith(b"SIP/2.0 200"):
                    # the guard of the line's last call: the phone tries again, as a new call
                    while ans is not None and not first_line(ans).startswith(b"SIP/2.0 200"):
                        cid += b"x"
                        t0 = time.time()
                        phone.send(phone.request(b"INVITE", cid, tel, 1, sdp(mport)))
                        ans = final(phone, cid)
                ok = answered = ans is not None
                if ok:
                    setup.append(time.time() - t0)
                    phone.send(phone.request(b"ACK", cid, tel, 1))
                    ok = b.wait_line(line, status_line=3)
                if ok and way == "bye":
                    for _ in range(10):
                        seq += 1
                        media.sendto(rtp(seq), (BOARD_IP, 20000 + 2 * line))
                if ok and way == "guard":
                    c2 = cid + b"g"
                    other.send(other.request(b"INVITE", c2, tel, 1, sdp(mport)))
                    ok = final(other, c2) is not None
                if ok and way == "busy":
                    c2 = cid + b"b"
                    ans2 = None
                    # Each INVITE past the guard takes it anew: 480 and 486 come in turn.
                    for _ in range(40):
                        c2 += b"b"
                        other.send(other.request(b"INVITE", c2, tel, 1, sdp(mport)))
                        ans2 = final(other, c2)
                        if ans2 is not None and first_line(ans2).startswith(b"SIP/2.0 486"):
                            break
                        time.sleep(0.1)
                    ok = ans2 is not None and first_line(ans2).startswith(b"SIP/2.0 486")
                if ok and way == "reinvite":
                    phone.send(phone.request(b"INVITE", cid, tel, 2, sdp(0)))
                    ok = b.wait_line(line, status_line=3)
                if answered:
                    phone.send(phone.request(b"BYE", cid, tel, 3))
                    ok = wait_message(phone, b"SIP/2.0 200", cid) is not None and ok
            ok = ok and b.wait_line(line, status_line=0, chn_sip=-1)
            if not ok:
                failed.append((n, way))
            if n == 1 or (n + 1) % 100 == 0 or n == args.calls - 1:
                rss.append(rss_kb(b.gate.p.pid))
        free = True
        for line in (0, 1):
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                try:
                    s.bind((BOARD_IP, 20000 + 2 * line))
                except OSError:
                    free = False
            free = free and b.line(line)["chn_sip"] == -1 and b.line(line)["status_line"] == 0
        print("soak: %d calls, %d not as they should %s" % (args.calls, len(failed), failed[:10]))
        # A leak grows with every hundred calls; a heap that has only warmed up stays level.
        print("soak: gateway resident memory (kB) after the first round, then every 100 calls: %s"
              % " ".join(str(r) for r in rss))
        print("soak: both lines idle, stack channels and RTP ports free: %s" % ("yes" if free else "NO"))
        if setup:
            setup.sort()
            print("set-up: INVITE to 200 at the phone, through the switch: median %.1f ms, 95%% %.1f ms (%d calls)"
                  % (statistics.median(setup) * 1000, setup[int(len(setup) * 0.95)] * 1000, len(setup)))
        phone.close()
        other.close()
        media.close()
    finally:
        b.close()


def nine_lines(args):
    from call_parties import Phone, first_line
    b = Bench(9, ini={"SYS_COMP_MODE": 2})
    try:
        phone = Phone(b.switch, b"9001")
        socks = []
        for line in range(9):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind(("127.0.0.1", 0))
            s.setblocking(False)
            socks.append(s)
            cid = b"nine%d" % line
            phone.send(phone.request(b"INVITE", cid, b"%d" % (8001 + line), 1, sdp(s.getsockname()[1])))
            ans = final(phone, cid)
            if ans is None or not first_line(ans).startswith(b"SIP/2.0 200"):
                raise SystemExit("line %d did not answer: %r" % (line, ans and first_line(ans)))
            phone.send(phone.request(b"ACK", cid, b"%d" % (8001 + line), 1))
            b.wait_line(line, status_line=3)
        for ch in range(10):
            b.sim.send("chan %d source tone" % ch)
        pid = b.gate.p.pid
        c0, t0 = cpu_seconds(pid), time.time()
        seq, got = 0, 0
        next_at = t0
        while time.time() - t0 < args.seconds:
            seq += 1
            for line, s in enumerate(socks):
                s.sendto(rtp(seq), (BOARD_IP, 20000 + 2 * line))
                try:
                    while s.recv(2048):
                        got += 1
                except BlockingIOError:
                    pass
            next_at += 0.02
            time.sleep(max(0.0, next_at - time.time()))
        c1, t1 = cpu_seconds(pid), time.time()
        print("nine lines: gateway CPU %.1f%% of one core with voice both ways (%d packets to the phones in %.0f s)"
              % (100 * (c1 - c0) / (t1 - t0), got, t1 - t0))
        for s in socks:
            s.close()
        phone.close()
    finally:
        b.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(SOURCE_DIR, "build"))
    ap.add_argument("--calls", type=int, default=500)
    ap.add_argument("--seconds", type=int, default=10)
    args = ap.parse_args()
    os.environ["BUILD_DIR"] = args.build
    import harness
    harness.launch(sys.argv)
    soak(args)
    nine_lines(args)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The gateway's lines in calls through the board's own sipswitch, on the simulated board.

Soak: --calls calls from plain phones to the lines, ending each way such a call ends. Lines 0
and 1 take the phone's calls in turn: the phone's BYE after voice both ways, a refusal within the
one-second guard, the busy line, an unacceptable re-INVITE (the call goes on) then the phone's
BYE, an INVITE without offer whose ACK brings none (the line's BYE), and a phone that falls silent
(the line's BYE after T_NO_RTP). Line 2 calls the phone back after its BYE (REDIAL_BYE 1), and the
phone lets that call end: ringing until T_NO_ANSWER (the line's CANCEL, then one more re-call,
refused), busy (486), answered and then silent (the line's BYE), unanswered (the line's CANCEL
after 5 s); a plain call and BYE follows that one, which takes no re-call. Reports the calls that
did not end as they should, the gateway's resident memory after the first round and every hundred
calls, and whether every line came back idle with its stack channel, RTP port and DSP channel free.
Set-up: the time from the phone's INVITE to the line's 200 as the phone sees it (through the
switch), median and 95th percentile of the answered calls; and the same at the gateway itself:
--direct calls whose INVITE goes straight to the gateway's SIP port from a softswitch address of
its configuration (the gateway takes calls only from those), timed to the line's 200.
CPU: nine lines (a nine-line board) each in a call with 50 packets a second both ways for
--seconds; the gateway's CPU share. --calls 0 or --seconds 0 leaves that part out.

    python3 bench/bench_line_calls.py [--build DIR] [--calls N] [--direct N] [--seconds S]
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
KEY_AND_TIME = {"T_BUSY_TONE": 1, "T_NO_RTP": 3, "T_NO_ANSWER": 2}
# The ways a call ends, in the order the soak runs them: (way, line); line None is lines 0 and 1
# in turn.
WAYS = [("bye", None), ("recall-cancel", 2), ("guard", None), ("recall-busy", 2), ("busy", None),
        ("recall-answer", 2), ("reinvite", None), ("recall-unanswered", 2), ("nooffer", None),
        ("bye-norecall", 2), ("silent", None)]


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
    def __init__(self, lines, ini=None, users=None):
        import harness
        from gate import DB, gate_board, make_qvd_db
        from simboard import SimBoard
        from webcfg import Segment
        self.board = gate_board()
        cors = [dict(make_qvd_db.user_cor_row(line), NET_COR_TYPE=0) for line in range(lines)]
        make_qvd_db.make_db(self.board.path(DB), lines=lines, ini=ini, key_and_time=KEY_AND_TIME, users=users,
                            user_cors=cors)
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


def answered_call(b, phone, line, cid, mport, offer=True):
    """The phone's call to the line, sent again as a new call while the line's one-second guard
    refuses it: (Call-ID, 200) or (Call-ID, None)."""
    from call_parties import first_line
    tel = b"%d" % (8001 + line)
    for _ in range(20):
        t0 = time.time()
        phone.send(phone.request(b"INVITE", cid, tel, 1, sdp(mport) if offer else b""))
        ans = final(phone, cid)
        if ans is None:
            return cid, None
        if first_line(ans).startswith(b"SIP/2.0 200"):
            b.setup.append(time.time() - t0)
            return cid, ans
        cid += b"x"
    return cid, None


def talk(b, phone, line, cid, mport):
    """An answered and acknowledged call of the phone to the line, talking: its Call-ID or None."""
    cid, ans = answered_call(b, phone, line, cid, mport)
    if ans is None:
        return None
    phone.send(phone.request(b"ACK", cid, b"%d" % (8001 + line), 1))
    return cid if b.wait_line(line, status_line=3) else None


def hang_up(phone, line, cid, cseq=2):
    phone.send(phone.request(b"BYE", cid, b"%d" % (8001 + line), cseq))
    return wait_message(phone, b"SIP/2.0 200", cid) is not None


def new_request(phone, method, seen, timeout=10.0):
    """The next request of method of a call not in seen (the switch repeats a request until the
    phone's answer reaches it); its Call-ID is added to seen."""
    from call_parties import header
    end = time.time() + timeout
    while time.time() < end:
        m = phone.recv(timeout=max(0.01, end - time.time()))
        if m is not None and m.startswith(method + b" ") and header(m, b"Call-ID") not in seen:
            seen.add(header(m, b"Call-ID"))
            return m
    return None


def request_of(phone, method, invite, timeout=10.0):
    """The next request of method in the call of invite."""
    from call_parties import header
    return wait_message(phone, method + b" ", header(invite, b"Call-ID").split(b":", 1)[1].strip(), timeout)


def inbound(b, phone, other, media, mport, way, line, cid, seq):
    """One call of the phone to line 0 or 1 ended the way named: True when it ended so."""
    from call_parties import first_line
    tel = b"%d" % (8001 + line)
    if way == "nooffer":
        cid, ans = answered_call(b, phone, line, cid, mport, offer=False)
        if ans is None:
            return False
        phone.send(phone.request(b"ACK", cid, tel, 1))
        bye = wait_message(phone, b"BYE", cid)
        if bye is not None:
            phone.reply(bye, b"200 OK")
        return bye is not None
    cid = talk(b, phone, line, cid, mport)
    if cid is None:
        return False
    ok = True
    if way == "silent":
        # Nothing from the phone: the line's BYE after T_NO_RTP.
        bye = wait_message(phone, b"BYE", cid, timeout=KEY_AND_TIME["T_NO_RTP"] + 10)
        if bye is not None:
            phone.reply(bye, b"200 OK")
        return bye is not None
    if way == "bye":
        for _ in range(10):
            seq[0] += 1
            media.sendto(rtp(seq[0]), (BOARD_IP, 20000 + 2 * line))
    if way == "guard":
        c2 = cid + b"g"
        other.send(other.request(b"INVITE", c2, tel, 1, sdp(mport)))
        ok = final(other, c2) is not None
    if way == "busy":
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
    if way == "reinvite":
        phone.send(phone.request(b"INVITE", cid, tel, 2, sdp(0)))
        ok = b.wait_line(line, status_line=3)
    return hang_up(phone, line, cid, 3) and ok


def outbound(b, phone, mport, way, cid, seen):
    """One call of the phone to line 2, whose BYE brings the line's re-call, ended the way
    named: True when it ended so."""
    line = 2
    cid = talk(b, phone, line, cid, mport)
    if cid is None or not hang_up(phone, line, cid):
        return False
    if way == "bye-norecall":
        return True
    invite = new_request(phone, b"INVITE", seen)
    if invite is None:
        return False
    if way == "recall-busy":
        phone.reply(invite, b"486 Busy Here")
        return True
    if way in ("recall-cancel", "recall-unanswered"):
        if way == "recall-cancel":
            phone.reply(invite, b"180 Ringing")
        cancel = request_of(phone, b"CANCEL", invite)
        if cancel is None:
            return False
        phone.reply(cancel, b"200 OK")
        phone.reply(invite, b"487 Request Terminated")
        if way == "recall-unanswered":
            return True
        # Cancelled, the BYE's re-call stays pending: the line calls once more.
        again = new_request(phone, b"INVITE", seen)
        if again is None:
            return False
        phone.reply(again, b"486 Busy Here")
        return True
    # Answered; the phone then falls silent and the line hangs up.
    phone.reply(invite, b"200 OK", sdp(mport))
    if request_of(phone, b"ACK", invite) is None or not b.wait_line(line, status_line=3):
        return False
    bye = request_of(phone, b"BYE", invite, timeout=KEY_AND_TIME["T_NO_RTP"] + 10)
    if bye is None:
        return False
    phone.reply(bye, b"200 OK")
    return True


def soak(args):
    from call_parties import Phone
    from gate import make_qvd_db
    lines = 3
    users = [make_qvd_db.user_row(0), make_qvd_db.user_row(1),
             dict(make_qvd_db.user_row(2), REDIAL_BYE=1, REDIAL_INTERVAL=1)]
    import harness
    direct = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    direct.bind(("127.0.0.1", harness.free_port()))
    b = Bench(lines, ini={"SYS_COMP_MODE": 2, "IP_SWITCH_1": "127.0.0.1", "PORT_SWITCH_1": direct.getsockname()[1]},
              users=users)
    try:
        phone, other = Phone(b.switch, b"9001"), Phone(b.switch, b"9002")
        media = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        media.bind(("127.0.0.1", 0))
        mport = media.getsockname()[1]
        failed, rss = [], []
        b.setup = []
        seq = [0]
        seen = set()
        inbound_calls = 0
        for n in range(args.calls):
            way, line = WAYS[n % len(WAYS)]
            cid = b"soak%d" % n
            if line is None:
                line = inbound_calls % 2
                inbound_calls += 1
                ok = inbound(b, phone, other, media, mport, way, line, cid, seq)
            else:
                ok = outbound(b, phone, mport, way, cid, seen)
            ok = b.wait_line(line, status_line=0, chn_sip=-1) and ok
            if not ok:
                failed.append((n, way, line))
            if n == len(WAYS) - 1 or (n + 1) % 100 == 0 or n == args.calls - 1:
                rss.append(rss_kb(b.gate.p.pid))
        free = True
        for line in range(lines):
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                try:
                    s.bind((BOARD_IP, 20000 + 2 * line))
                except OSError:
                    free = False
            state = b.line(line)
            free = free and state["chn_sip"] == -1 and state["status_line"] == 0
            free = free and b.sim.chan(b.sim.dsp(line))["rtp"] == 0
        print("soak: %d calls, %d not as they should %s" % (args.calls, len(failed), failed[:10]))
        # A leak grows with every hundred calls; a heap that has only warmed up stays level.
        print("soak: gateway resident memory (kB) after the first round, then every 100 calls: %s"
              % " ".join(str(r) for r in rss))
        print("soak: every line idle, stack channels, RTP ports and DSP channels free: %s" % ("yes" if free else "NO"))
        if b.setup:
            setup = sorted(b.setup)
            print("set-up: INVITE to 200 at the phone, through the switch: median %.1f ms, 95%% %.1f ms (%d calls)"
                  % (statistics.median(setup) * 1000, setup[int(len(setup) * 0.95)] * 1000, len(setup)))
        if args.direct:
            setup = sorted(direct_setups(b, direct, mport, args.direct))
            if setup:
                print("set-up: INVITE to 200 at the gateway, from a softswitch address: median %.1f ms, 95%% %.1f ms "
                      "(%d of %d calls)" % (statistics.median(setup) * 1000, setup[int(len(setup) * 0.95)] * 1000,
                                            len(setup), args.direct))
        phone.close()
        other.close()
        media.close()
    finally:
        b.close()
        direct.close()


def direct_setups(b, sock, mport, calls):
    """calls INVITEs straight to the gateway from sock (a configured softswitch address), to lines
    0 and 1 in turn, each answered call acknowledged and ended with a BYE: the INVITE-to-200
    times. A line refuses calls within a second of its last one: those are made again, not timed."""
    import harness
    from call_parties import first_line, header
    me = b"127.0.0.1:%d" % sock.getsockname()[1]
    gate = (BOARD_IP, 5062)
    times = []

    def request(method, n, line, cseq, to_tag=b"", body=b""):
        tel = b"%d" % (8001 + line)
        return (b"%s sip:%s@%s:5062 SIP/2.0\r\nVia: SIP/2.0/UDP %s;branch=z9hG4bKd%d%s\r\nMax-Forwards: 70\r\n"
                b"From: <sip:9001@127.0.0.1>;tag=d%d\r\nTo: <sip:%s@%s>%s\r\nCall-ID: direct%d\r\n"
                b"CSeq: %d %s\r\nContact: <sip:9001@%s>\r\n" % (method, tel, BOARD_IP.encode(), me, n, method, n, tel,
                                                                   BOARD_IP.encode(), to_tag, n, cseq, method, me)
                + (b"Content-Type: application/sdp\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body) if body
                   else b"Content-Length: 0\r\n\r\n"))

    def final(n, method):
        end = time.time() + 5
        while time.time() < end:
            sock.settimeout(max(0.01, end - time.time()))
            try:
                m = sock.recv(65535)
            except socket.timeout:
                return None
            if header(m, b"Call-ID") == b"Call-ID: direct%d" % n and header(m, b"CSeq").endswith(method) \
                    and not first_line(m).startswith(b"SIP/2.0 1"):
                return m
        return None

    n = 0
    for k in range(calls):
        line = k % 2
        b.wait_line(line, status_line=0, chn_sip=-1)
        for _ in range(20):
            n += 1
            t0 = time.time()
            sock.sendto(request(b"INVITE", n, line, 1, body=sdp(mport)), gate)
            ans = final(n, b"INVITE")
            t1 = time.time()
            if ans is None or first_line(ans).startswith(b"SIP/2.0 200"):
                break
            time.sleep(0.2)
        if ans is None or not first_line(ans).startswith(b"SIP/2.0 200"):
            continue
        times.append(t1 - t0)
        tag = header(ans, b"To").split(b">", 1)[1]
        sock.sendto(request(b"ACK", n, line, 1, tag), gate)
        b.wait_line(line, status_line=3)
        sock.sendto(request(b"BYE", n, line, 2, tag), gate)
        final(n, b"BYE")
    return times


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
    ap.add_argument("--direct", type=int, default=40, help="calls straight to the gateway, timed to its 200")
    ap.add_argument("--seconds", type=int, default=10)
    args = ap.parse_args()
    os.environ["BUILD_DIR"] = args.build
    import harness
    harness.launch(sys.argv)
    if args.calls > 0:
        soak(args)
    if args.seconds > 0:
        nine_lines(args)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""A long run of calls through the running switch, driven by SIPp over loopback.

A registered SIPp caller calls a registered SIPp callee (INVITE, 180, 200 with SDP, ACK, talk,
BYE) at a steady rate with a fixed talk time, at most 250 calls at once (the tables hold 500
legs and 500 call channels: two of each per call). Reported: failed calls and retransmissions
of both parties, the switch's resident memory (VmRSS) before and after, and what the tables
hold afterwards: 250 calls are placed and held at once, which fits only when every leg and
every channel came back; each that does not fit is a leaked call's worth of legs or channels.
With --bye-delay the callee answers each BYE that much later, so a new call regularly arrives
while the legs of ending calls still wait for that answer (a lost answer waits 2 s).

    python3 bench/bench_soak.py [--build DIR] [--calls N] [--rate R] [--talk SECONDS]
                                [--bye-delay MS] [--debug]
"""
import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "blackbox"))

TABLE_CALLS = 250   # 500 legs and 500 usable call channels, two of each per call
PEND_SETTINGS = "sip_pend_time=5\ncallctrl_pendtime=5\n"
SETTLE_S = 16       # the last retransmission of a message is given up at the fourteenth second


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(SOURCE_DIR, "build"))
    ap.add_argument("--calls", type=int, default=6000)
    ap.add_argument("--rate", type=int, default=50, help="calls per second")
    ap.add_argument("--talk", type=float, default=5.0, help="seconds of talk per call")
    ap.add_argument("--bye-delay", type=int, default=0, help="ms the callee waits before it answers a BYE")
    ap.add_argument("--debug", action="store_true", help="run the switch with sip_debug=1")
    args = ap.parse_args()
    os.environ["BUILD_DIR"] = args.build
    import call_parties
    import harness

    harness.launch(sys.argv)

    # Short no-answer times, so that whatever a failed call left waiting is given up before the
    # tables are probed; an answered call never waits for them.
    sw = call_parties.Switch(PEND_SETTINGS, debug=1 if args.debug else 0)
    try:
        pid = sw.prog.p.pid
        rss_before = vmrss(pid)
        caller, callee = soak(call_parties, sw, args)
        time.sleep(SETTLE_S)
        rss_after = vmrss(pid)
        fit, why = tables_free(call_parties, sw)
        alive = sw.prog.poll() is None
    finally:
        sw.close()
    print()
    print("soak: %d calls at %d/s, %.1f s talk, at most %d at once, BYE answered after %d ms%s" %
          (args.calls, args.rate, args.talk, TABLE_CALLS, args.bye_delay, ", sip_debug=1" if args.debug else ""))
    for name, st in (("caller", caller), ("callee", callee)):
        print("  %-6s successful %s, failed %s, retransmissions %s, unexpected messages %s" %
              (name, st.get("SuccessfulCall(C)", "?"), st.get("FailedCall(C)", "?"), st.get("Retransmissions(C)", "?"),
               st.get("FailedUnexpectedMessage(C)", "?")))
    print("  switch still running: %s" % ("yes" if alive else "NO"))
    print("  VmRSS before %s kB, after %s kB" % (rss_before, rss_after))
    print("  afterwards %d of %d calls fit at once: %d calls' worth of legs or channels leaked%s" %
          (fit, TABLE_CALLS, TABLE_CALLS - fit, "" if fit == TABLE_CALLS else " (%s)" % why))


def vmrss(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def scenario_copy(sw, name, talk_ms, bye_delay=0):
    with open(os.path.join(SOURCE_DIR, "tests", "sipp", name)) as f:
        text = f.read().replace('<pause milliseconds="200"/>', '<pause milliseconds="%d"/>' % talk_ms)
    if name == "call_uac.xml":
        # The caller repeats an unanswered INVITE as a phone does (every 500 ms, doubling): a
        # switch whose tables are full answers nothing and relies on that.
        text = text.replace("<send>", '<send retrans="500">', 1)
    if bye_delay:
        bye = '<recv request="BYE"/>'
        assert bye in text
        text = text.replace(bye, bye + '\n  <pause milliseconds="%d"/>' % bye_delay)
    path = sw.board.path("var/soak_" + name)
    with open(path, "w") as f:
        f.write(text)
    return path


def sipp(cp, sw, scenario, number, name, extra, timeout):
    port = cp.free_port()
    assert cp.first_line(cp.register(sw, number, port)) == b"SIP/2.0 200 OK"
    stat = sw.board.path("var/%s_stat.csv" % name)
    args = ["sipp", "127.0.0.1:%d" % sw.port, "-sf", scenario, "-i", "127.0.0.1", "-p", str(port), "-nostdin",
            "-key", "calling", "801", "-key", "called", "802", "-timeout", "%ds" % timeout, "-timeout_error",
            "-trace_stat", "-stf", stat, "-fd", "1", "-trace_err", "-error_file", sw.board.path("var/%s_err.log" % name)
            ] + extra
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=sw.board.path("var"))
    cp.wait_for(lambda: cp.port_taken(port) or proc.poll() is not None, timeout=10)
    return proc, stat


def last_stats(path):
    """The last row of a SIPp statistics file as a dict (empty when there is none)."""
    try:
        with open(path) as f:
            rows = [r.rstrip("\n").split(";") for r in f if r.strip()]
    except OSError:
        return {}
    return dict(zip(rows[0], rows[-1])) if len(rows) > 1 else {}


def soak(cp, sw, args):
    talk_ms = int(args.talk * 1000)
    cap = int(args.calls / args.rate + args.talk) + 120
    uas, uas_stat = sipp(cp, sw, scenario_copy(sw, "call_uas.xml", talk_ms, args.bye_delay), b"802", "callee",
                         ["-m", str(args.calls)], cap)
    uac, uac_stat = sipp(cp, sw, scenario_copy(sw, "call_uac.xml", talk_ms), b"801", "caller",
                         ["-r", str(args.rate), "-m", str(args.calls), "-l", str(TABLE_CALLS)], cap)
    for proc in (uac, uas):
        try:
            proc.wait(timeout=cap + 30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return last_stats(uac_stat), last_stats(uas_stat)


def tables_free(cp, sw):
    """How many calls fit at once now (held unanswered, then cancelled), and why the next did not."""
    a, b = cp.Phone(sw, b"801"), cp.Phone(sw, b"802")
    sdp = b"v=0\r\nc=IN IP4 127.0.0.1\r\nm=audio 4000 RTP/AVP 8\r\n"
    fit, why = 0, ""
    try:
        for n in range(TABLE_CALLS):
            a.send(a.request(b"INVITE", b"probe-%d" % n, b"802", 1, sdp))
            first = a.recv(timeout=2)
            if first is None:
                why = "no leg for the caller"
                break
            if cp.first_line(first) != b"SIP/2.0 100 Trying":
                why = "caller answered %s" % cp.first_line(first).decode(errors="replace")
                break
            if b.recv(timeout=2) is None:
                why = "no INVITE reached the callee"
                break
            fit += 1
        for n in range(fit):   # end the probe calls, so the switch closes with its tables empty
            a.send(a.request(b"CANCEL", b"probe-%d" % n, b"802", 1))
    finally:
        a.close()
        b.close()
    return fit, why


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Calls through the running switch, driven by SIPp over loopback.

Rate: a registered SIPp caller calls a registered SIPp callee (INVITE, 180, 200 with SDP, ACK,
a short talk, BYE) at rising call rates, a few seconds per rate, with sip_debug 1 and 0; the
highest rate at which no call failed is reported with the set-up time (INVITE to 200) there.
With 200 ms calls, rates above about 1250/s need more than the 250 calls the tables hold at once,
so those rates fail by the tables whatever the speed.
Hold: 250 calls are held at once for a while; once they have ended, 250 plain calls must fit
again, so every leg and channel came back.

    python3 bench/bench_calls.py [--build DIR] [--seconds N] [--hold SECONDS]
"""
import argparse
import csv
import glob
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "blackbox"))

RATES = [10, 25, 50, 100, 200, 400, 800, 1600, 3200]
TALK_MS = 200


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(SOURCE_DIR, "build"))
    ap.add_argument("--seconds", type=int, default=3, help="seconds of calls per rate")
    ap.add_argument("--hold", type=int, default=180, help="seconds the 250 calls are held")
    args = ap.parse_args()
    os.environ["BUILD_DIR"] = args.build
    import call_parties
    import harness

    harness.launch(sys.argv)

    results = []
    for debug in (1, 0):
        results.append((debug, rate_run(call_parties, debug, args.seconds)))
    held = hold_run(call_parties, args.hold)
    print()
    for debug, (best, setup) in results:
        print("sip_debug=%d: highest rate without a failed call %s, set-up time there %s" %
              (debug, "%d/s" % best if best else "none", setup))
    print("250 calls held %d s, then 250 calls fit again: %s" % (args.hold, "yes" if held else "NO"))


def scenario_copy(sw, name, talk_ms):
    """The scenario with its talk time set."""
    with open(os.path.join(SOURCE_DIR, "tests", "sipp", name)) as f:
        text = f.read().replace('<pause milliseconds="200"/>', '<pause milliseconds="%d"/>' % talk_ms)
    path = sw.board.path("var/" + name)
    with open(path, "w") as f:
        f.write(text)
    return path


def sipp(cp, sw, scenario, number, extra, timeout):
    """A registered SIPp phone running extra calls; its process."""
    port = cp.free_port()
    assert cp.first_line(cp.register(sw, number, port)) == b"SIP/2.0 200 OK"
    args = ["sipp", "127.0.0.1:%d" % sw.port, "-sf", scenario, "-i", "127.0.0.1", "-p", str(port), "-nostdin",
            "-key", "calling", "801", "-key", "called", "802", "-timeout", "%ds" % timeout, "-timeout_error"] + extra
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=sw.board.path("var"))
    cp.wait_for(lambda: cp.port_taken(port) or proc.poll() is not None, timeout=10)
    return proc


def setup_times(sw):
    """INVITE-to-200 times in ms of the last rate run, from SIPp's rtt file."""
    times = []
    for path in glob.glob(sw.board.path("var/*_rtt.csv")):
        with open(path) as f:
            for row in csv.reader(f, delimiter=";"):
                if len(row) >= 3 and row[1].replace(".", "", 1).isdigit():
                    times.append(float(row[1]))
        os.remove(path)
    return times


def rate_run(cp, debug, seconds):
    sw = cp.Switch(debug=debug)
    best, setup = 0, "-"
    try:
        uac_path = scenario_copy(sw, "call_uac.xml", TALK_MS)
        uas_path = scenario_copy(sw, "call_uas.xml", TALK_MS)
        for rate in RATES:
            calls = rate * seconds
            cap = seconds * 4 + 20
            uas = sipp(cp, sw, uas_path, b"802", ["-m", str(calls)], cap)
            uac = sipp(cp, sw, uac_path, b"801", ["-r", str(rate), "-m", str(calls), "-trace_rtt", "-rtt_freq", "1"],
                       cap)
            ok = uac.wait(timeout=cap + 20) == 0
            ok = uas.wait(timeout=cap + 20) == 0 and ok and sw.prog.poll() is None
            times = setup_times(sw)
            print("sip_debug=%d rate %5d/s, %6d calls: %s" % (debug, rate, calls, "ok" if ok else "failed"),
                  flush=True)
            if not ok:
                break
            best = rate
            if times:
                setup = "mean %.2f ms, max %.2f ms" % (sum(times) / len(times), max(times))
    finally:
        sw.close()
    return best, setup


def hold_run(cp, hold):
    sw = cp.Switch()
    try:
        uac_path = scenario_copy(sw, "call_uac.xml", hold * 1000)
        uas_path = scenario_copy(sw, "call_uas.xml", hold * 1000)
        uas = sipp(cp, sw, uas_path, b"802", ["-m", "250"], hold + 60)
        uac = sipp(cp, sw, uac_path, b"801", ["-r", "50", "-m", "250", "-l", "250"], hold + 60)
        ok = uac.wait(timeout=hold + 90) == 0 and uas.wait(timeout=hold + 90) == 0
        print("250 calls held %d s: %s" % (hold, "ok" if ok else "failed"), flush=True)
        # Every leg and channel is free again: 250 plain calls fit.
        a, b = cp.Phone(sw, b"801"), cp.Phone(sw, b"802")
        sdp = b"v=0\r\nc=IN IP4 127.0.0.1\r\nm=audio 4000 RTP/AVP 8\r\n"
        for n in range(250):
            a.send(a.request(b"INVITE", b"check-%d" % n, b"802", 1, sdp))
            a.recv()
            invite = b.recv()
            if invite is None:
                return False
            b.reply(invite, b"200 OK", sdp)
            b.recv()
            if cp.first_line(a.recv()) != b"SIP/2.0 200 OK":
                return False
            a.send(a.request(b"ACK", b"check-%d" % n, b"802", 1))
        return ok
    finally:
        sw.close()


if __name__ == "__main__":
    main()

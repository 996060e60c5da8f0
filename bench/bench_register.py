#!/usr/bin/env python3
"""REGISTER throughput of the running switch, driven by SIPp over loopback.

For authentication off and on (digest, 401), SIPp registers numbers from a list of 400 at
rising call rates, a few seconds per rate, each call one REGISTER (off) or a REGISTER, its
challenge, the answer and the 200 (on). The highest rate at which every call succeeded is
reported. Bounded: at most one pass over the rate list per mode, each run capped in time.

    python3 bench/bench_register.py [--build DIR] [--seconds N] [--debug]
"""
import argparse
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "blackbox"))

RATES = [50, 100, 200, 400, 800, 1600, 3200, 6400, 12800, 25600, 51200]
USERS = 400  # fewer than the 490 user slots, so every number keeps its registration


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(SOURCE_DIR, "build"))
    ap.add_argument("--seconds", type=int, default=3, help="seconds of calls per rate")
    ap.add_argument("--debug", action="store_true", help="run the switch with sip_debug=1 (logs every datagram)")
    args = ap.parse_args()
    os.environ["BUILD_DIR"] = args.build
    import harness

    harness.launch(sys.argv)

    results = []
    for name, settings, scenario in (
        ("auth off", "", "register.xml"),
        ("auth on (401)", "sip_authen_enable=1\nsip_authen_type=0\n", "register_auth.xml"),
    ):
        best = run_mode(harness, settings, scenario, args)
        results.append((name, best))
    print()
    for name, best in results:
        print("%-14s highest rate without a failed registration: %s" %
              (name, "%d/s" % best if best else "none (fails at %d/s)" % RATES[0]))


def write_users(board):
    """The numbers SIPp registers, one per call in turn; the file's path."""
    users = board.path("var/users.csv")
    with open(users, "w") as f:
        f.write("SEQUENTIAL\n" + "".join("%d;\n" % (20000 + i) for i in range(USERS)))
    return users


def register_run(harness, sw, users, scenario, rate, calls, seconds):
    """One SIPp run of calls REGISTERs at rate against sw: True when every one succeeded."""
    cmd = ["sipp", "127.0.0.1:%d" % sw.port, "-sf", os.path.join(SOURCE_DIR, "tests", "sipp", scenario),
           "-inf", users, "-key", "expires", "3600", "-au", "[field0]", "-ap", "",
           "-r", str(rate), "-m", str(calls), "-i", "127.0.0.1", "-p", str(harness.free_port()),
           "-nostdin", "-timeout", "%ds" % (seconds * 4 + 10), "-timeout_error"]
    r = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=sw.board.path("var"),
                       timeout=seconds * 4 + 30)
    return r.returncode == 0 and sw.prog.poll() is None


def run_mode(harness, settings, scenario, args):
    sw = harness.Switch(settings, debug=1 if args.debug else 0)
    try:
        users = write_users(sw.board)
        best = 0
        for rate in RATES:
            calls = rate * args.seconds
            ok = register_run(harness, sw, users, scenario, rate, calls, args.seconds)
            print("%s rate %5d/s, %6d calls: %s" % (scenario, rate, calls, "ok" if ok else "failed"), flush=True)
            if not ok:
                break
            best = rate
        return best
    finally:
        sw.close()


if __name__ == "__main__":
    main()

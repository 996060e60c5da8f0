#!/usr/bin/env python3
"""The switch's speed in one run: what it costs idle, and what REGISTERs and calls cost it with
its log off (sip_debug 0) and on (sip_debug 1).

- Idle: the switch's share of one core and its wake-ups per second (voluntary and involuntary
  context switches) over a few quiet seconds, from /proc/<pid>.
- REGISTER: SIPp registers 400 numbers at rising rates, a few seconds per rate; the highest rate
  at which every REGISTER succeeded, and the switch's CPU time per REGISTER at each rate.
- Calls: a registered SIPp caller calls a registered SIPp callee (INVITE, 180, 200, ACK, BYE with
  no talk) at rising rates; the highest rate without a failed call, and CPU time per call.
- The log's cost: CPU per REGISTER with sip_debug 1 over that with sip_debug 0, at the highest
  rate both passed.

CPU time is read from /proc/<pid>/schedstat (nanoseconds) where the kernel offers it, otherwise
from the clock ticks of /proc/<pid>/stat. The figures are the switch's own; no other SIP server
runs beside it.

    python3 bench/bench_speed.py [--build DIR] [--idle SECONDS] [--seconds N]
"""
import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "blackbox"))

REGISTER_RATES = [400, 800, 1600, 3200, 6400, 12800, 25600]
CALL_RATES = [150, 300, 600, 1200, 2400, 4800]
CLK_TCK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """CPU time the process has used so far, in seconds."""
    try:
        with open("/proc/%d/schedstat" % pid) as f:
            return int(f.read().split()[0]) / 1e9
    except (OSError, ValueError, IndexError):
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        # utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
        return (int(fields[11]) + int(fields[12])) / CLK_TCK


def context_switches(pid):
    """Voluntary plus involuntary context switches so far: each is a wake-up of the one thread."""
    total = 0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                total += int(line.split()[1])
    return total


class Meter:
    """CPU time, wake-ups and wall time of one process from now on."""

    def __init__(self, pid):
        self.pid = pid
        self.start = (time.monotonic(), cpu_seconds(pid), context_switches(pid))

    def read(self):
        t, cpu, sw = self.start
        return time.monotonic() - t, cpu_seconds(self.pid) - cpu, context_switches(self.pid) - sw


def idle_run(harness, seconds):
    sw = harness.Switch(debug=0)
    try:
        time.sleep(1.0)   # past the start-up and the first tick
        meter = Meter(sw.prog.p.pid)
        time.sleep(seconds)
        wall, cpu, wakes = meter.read()
        return 100.0 * cpu / wall, wakes / wall
    finally:
        sw.close()


def register_rates(harness, bench_register, debug, seconds):
    """[(rate, ok, CPU microseconds per REGISTER)] up to the first failed rate."""
    sw = harness.Switch(debug=debug)
    runs = []
    try:
        users = bench_register.write_users(sw.board)
        for rate in REGISTER_RATES:
            calls = rate * seconds
            meter = Meter(sw.prog.p.pid)
            ok = bench_register.register_run(harness, sw, users, "register.xml", rate, calls, seconds)
            _, cpu, _ = meter.read()
            runs.append((rate, ok, 1e6 * cpu / calls))
            print("REGISTER sip_debug=%d rate %5d/s: %s, %.1f us CPU per REGISTER" %
                  (debug, rate, "ok" if ok else "failed", 1e6 * cpu / calls), flush=True)
            if not ok:
                break
    finally:
        sw.close()
    return runs


def call_rates(cp, bench_calls, debug, seconds):
    """[(rate, ok, CPU microseconds per call)] up to the first failed rate."""
    sw = cp.Switch(debug=debug)
    runs = []
    try:
        uac_path = bench_calls.scenario_copy(sw, "call_uac.xml", 0)
        uas_path = bench_calls.scenario_copy(sw, "call_uas.xml", 0)
        for rate in CALL_RATES:
            calls = rate * seconds
            cap = seconds * 4 + 20
            meter = Meter(sw.prog.p.pid)
            uas = bench_calls.sipp(cp, sw, uas_path, b"802", ["-m", str(calls)], cap)
            uac = bench_calls.sipp(cp, sw, uac_path, b"801", ["-r", str(rate), "-m", str(calls)], cap)
            ok = uac.wait(timeout=cap + 20) == 0
            ok = uas.wait(timeout=cap + 20) == 0 and ok and sw.prog.poll() is None
            _, cpu, _ = meter.read()
            runs.append((rate, ok, 1e6 * cpu / calls))
            print("calls sip_debug=%d rate %5d/s: %s, %.1f us CPU per call" %
                  (debug, rate, "ok" if ok else "failed", 1e6 * cpu / calls), flush=True)
            if not ok:
                break
    finally:
        sw.close()
    return runs


def best_rate(runs):
    ok = [rate for rate, passed, _ in runs if passed]
    return "%d/s" % max(ok) if ok else "none"


def log_cost(runs0, runs1):
    """CPU per item with the log on over that with it off, at the highest rate both passed."""
    on = {rate: cpu for rate, passed, cpu in runs1 if passed}
    both = [(rate, cpu) for rate, passed, cpu in runs0 if passed and rate in on and cpu > 0]
    if not both:
        return "-"
    rate, off = both[-1]
    return "%.2f times (%.1f us against %.1f us at %d/s)" % (on[rate] / off, on[rate], off, rate)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(SOURCE_DIR, "build"))
    ap.add_argument("--idle", type=int, default=10, help="seconds the idle switch is watched")
    ap.add_argument("--seconds", type=int, default=3, help="seconds of REGISTERs or calls per rate")
    args = ap.parse_args()
    os.environ["BUILD_DIR"] = args.build
    import bench_calls
    import bench_register
    import call_parties
    import harness

    harness.launch(sys.argv)

    idle_cpu, idle_wakes = idle_run(harness, args.idle)
    print("idle: %.2f%% of a core, %.0f wake-ups/s" % (idle_cpu, idle_wakes), flush=True)
    reg = {debug: register_rates(harness, bench_register, debug, args.seconds) for debug in (0, 1)}
    calls = {debug: call_rates(call_parties, bench_calls, debug, args.seconds) for debug in (0, 1)}

    print()
    print("idle switch:                 %.2f%% of a core, %.0f wake-ups/s over %d s" % (idle_cpu, idle_wakes, args.idle))
    for debug in (0, 1):
        print("REGISTER, sip_debug=%d:       highest clean rate %s" % (debug, best_rate(reg[debug])))
    for debug in (0, 1):
        print("calls (no talk), sip_debug=%d: highest clean rate %s" % (debug, best_rate(calls[debug])))
    print("log cost per REGISTER:       %s" % log_cost(reg[0], reg[1]))
    print("log cost per call:           %s" % log_cost(calls[0], calls[1]))


if __name__ == "__main__":
    main()

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

- Side by side, when kamailio is installed (scripts/deps_bench.sh installs it): the same
  REGISTER runs against kamailio as a registrar with one UDP worker, its CPU time summed over all
  its processes.

CPU time is read from /proc/<pid>/schedstat (nanoseconds) where the kernel offers it, otherwise
from the clock ticks of /proc/<pid>/stat.

    python3 bench/bench_speed.py [--build DIR] [--idle SECONDS] [--seconds N] [--no-proxy]
"""
import argparse
import os
import shutil
import subprocess
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


def family(pid):
    """pid and every process whose parent it is (kamailio's workers)."""
    pids = [pid]
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    if int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                        pids.append(int(entry))
            except (OSError, ValueError, IndexError):
                pass
    return pids


class Meter:
    """CPU time, wake-ups and wall time of a process and its children from now on."""

    def __init__(self, pid):
        self.pids = family(pid)
        self.start = (time.monotonic(), self.cpu(), self.wakes())

    def cpu(self):
        return sum(cpu_seconds(p) for p in self.pids)

    def wakes(self):
        return sum(context_switches(p) for p in self.pids)

    def read(self):
        t, cpu, sw = self.start
        return time.monotonic() - t, self.cpu() - cpu, self.wakes() - sw


KAMAILIO_CFG = """#!KAMAILIO
debug=0
log_stderror=yes
children=1
disable_tcp=yes
disable_sctp=yes
listen=udp:127.0.0.1:%(port)d
mpath="%(modules)s"
loadmodule "tm.so"
loadmodule "sl.so"
loadmodule "pv.so"
loadmodule "maxfwd.so"
loadmodule "usrloc.so"
loadmodule "registrar.so"
loadmodule "siputils.so"
loadmodule "textops.so"
modparam("usrloc", "db_mode", 0)
request_route {
    if (!mf_process_maxfwd_header("10")) {
        sl_send_reply("483", "Too Many Hops");
        exit;
    }
    if (is_method("REGISTER")) {
        if (!save("location")) sl_reply_error();
        exit;
    }
    sl_send_reply("404", "Not Found");
}
"""


class Kamailio:
    """kamailio as a plain registrar with one UDP worker on a scratch board; shaped like the
    harness's Switch (board, port, prog) so the same runs drive it."""

    def __init__(self, harness, call_parties):
        self.board = harness.Board()
        self.port = harness.free_port()
        modules = next((d for d in ("/usr/lib/x86_64-linux-gnu/kamailio/modules", "/usr/lib/kamailio/modules")
                        if os.path.isdir(d)), "/usr/lib/kamailio/modules")
        cfg = self.board.path("var/kamailio.cfg")
        with open(cfg, "w") as f:
            f.write(KAMAILIO_CFG % {"port": self.port, "modules": modules})
        self.prog = subprocess.Popen(["kamailio", "-f", cfg, "-DD", "-E", "-Y", self.board.path("var"),
                                      "-P", self.board.path("var/kamailio.pid")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        harness.wait_for(lambda: call_parties.port_taken(self.port) or self.prog.poll() is not None, timeout=10)
        time.sleep(0.5)   # its workers are forked after the socket is bound

    def close(self):
        self.prog.terminate()
        try:
            self.prog.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.prog.kill()
            self.prog.wait()
        self.board.close()


def pid_of(server):
    """The process id of the switch (a harness program) or of kamailio (a plain process)."""
    return getattr(server.prog, "p", server.prog).pid


def idle_run(harness, seconds):
    sw = harness.Switch(debug=0)
    try:
        time.sleep(1.0)   # past the start-up and the first tick
        meter = Meter(pid_of(sw))
        time.sleep(seconds)
        wall, cpu, wakes = meter.read()
        return 100.0 * cpu / wall, wakes / wall
    finally:
        sw.close()


def rising_rates(sw, rates, label, unit, seconds, run_one):
    """Runs run_one(rate, count) against sw at each rate in turn until one fails, then closes
    sw: [(rate, ok, CPU microseconds per item)]."""
    runs = []
    try:
        for rate in rates:
            count = rate * seconds
            meter = Meter(pid_of(sw))
            ok = run_one(rate, count) and sw.prog.poll() is None
            cpu = 1e6 * meter.read()[1] / count
            runs.append((rate, ok, cpu))
            print("%s rate %5d/s: %s, %.1f us CPU per %s" % (label, rate, "ok" if ok else "failed", cpu, unit),
                  flush=True)
            if not ok:
                break
    finally:
        sw.close()
    return runs


def register_rates(harness, bench_register, debug, seconds, server=None):
    """REGISTER runs against the switch with sip_debug debug, or against server."""
    sw = server or harness.Switch(debug=debug)
    users = bench_register.write_users(sw.board)
    return rising_rates(sw, REGISTER_RATES, "REGISTER " + ("kamailio" if server else "sip_debug=%d" % debug),
                        "REGISTER", seconds,
                        lambda rate, count: bench_register.register_run(harness, sw, users, "register.xml", rate,
                                                                        count, seconds))


def call_rates(cp, bench_calls, debug, seconds):
    """Runs of calls without talk through the switch with sip_debug debug."""
    sw = cp.Switch(debug=debug)
    uac_path = bench_calls.scenario_copy(sw, "call_uac.xml", 0)
    uas_path = bench_calls.scenario_copy(sw, "call_uas.xml", 0)
    cap = seconds * 4 + 20

    def run_one(rate, count):
        uas = bench_calls.sipp(cp, sw, uas_path, b"802", ["-m", str(count)], cap)
        uac = bench_calls.sipp(cp, sw, uac_path, b"801", ["-r", str(rate), "-m", str(count)], cap)
        ok = uac.wait(timeout=cap + 20) == 0
        return uas.wait(timeout=cap + 20) == 0 and ok

    return rising_rates(sw, CALL_RATES, "calls sip_debug=%d" % debug, "call", seconds, run_one)


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
    ap.add_argument("--no-proxy", action="store_true", help="leave out the side-by-side kamailio runs")
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
    proxy = None
    if not args.no_proxy and shutil.which("kamailio"):
        proxy = register_rates(harness, bench_register, 0, args.seconds, Kamailio(harness, call_parties))

    print()
    print("idle switch:                 %.2f%% of a core, %.0f wake-ups/s over %d s" % (idle_cpu, idle_wakes, args.idle))
    for debug in (0, 1):
        print("REGISTER, sip_debug=%d:       highest clean rate %s" % (debug, best_rate(reg[debug])))
    for debug in (0, 1):
        print("calls (no talk), sip_debug=%d: highest clean rate %s" % (debug, best_rate(calls[debug])))
    print("log cost per REGISTER:       %s" % log_cost(reg[0], reg[1]))
    print("log cost per call:           %s" % log_cost(calls[0], calls[1]))
    if proxy is None:
        print("kamailio:                    not installed (or left out): the switch's own figures only")
    else:
        print("REGISTER, kamailio 1 worker: highest clean rate %s" % best_rate(proxy))
        print("switch over kamailio:        %s CPU per REGISTER" % log_cost(proxy, reg[0]).replace("times", "times the"))


if __name__ == "__main__":
    main()

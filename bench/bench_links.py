#!/usr/bin/env python3
"""Idle cost of the running switch with its status-query server on: CPU time and loop passes
per second with 0 and with 500 identified dispatch consoles connected.

Loop passes are counted as the switch's context switches (a pass that ends in a sleep is one);
CPU time is read from /proc as bench_speed.py reads it. The consoles send a
heartbeat every few seconds so none reaches the idle limit.

    python3 bench/bench_links.py [--build DIR] [--seconds N] [--consoles N]
"""
import argparse
import os
import socket
import struct
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "blackbox"))

HEARTBEAT = struct.pack(">BBBBH", 0xF5, 0, 1, 6, 0)


def sample(pid):
    from bench_speed import context_switches, cpu_seconds
    return time.time(), cpu_seconds(pid), context_switches(pid)


def measure(pid, seconds, consoles):
    t0, c0, p0 = sample(pid)
    end = t0 + seconds
    while time.time() < end:
        for s in consoles:
            s.send(HEARTBEAT)
        time.sleep(min(3.0, max(0.0, end - time.time())))
        for s in consoles:   # drain the answers
            try:
                s.recv(65536)
            except BlockingIOError:
                pass
    t1, c1, p1 = sample(pid)
    return (c1 - c0) / (t1 - t0) * 100, (p1 - p0) / (t1 - t0)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(SOURCE_DIR, "build"))
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--consoles", type=int, default=500)
    args = ap.parse_args()
    os.environ["BUILD_DIR"] = args.build
    import harness

    harness.launch(sys.argv)
    port = harness.free_port(socket.SOCK_STREAM)
    sw = harness.Switch("sip_status_check_enable=1\nsip_status_port=%d\n" % port, debug=0)
    consoles = []
    try:
        results = [("0 consoles", measure(sw.prog.p.pid, args.seconds, []))]
        for _ in range(args.consoles):
            s = socket.create_connection(("127.0.0.1", port))
            s.send(HEARTBEAT)   # the first heartbeat identifies the console
            s.setblocking(False)
            consoles.append(s)
        time.sleep(1)
        results.append(("%d consoles" % args.consoles, measure(sw.prog.p.pid, args.seconds, consoles)))
        print()
        for name, (cpu, passes) in results:
            print("%-14s idle CPU %5.1f %%   loop passes %8.0f /s" % (name, cpu, passes))
    finally:
        for s in consoles:
            s.close()
        sw.close()


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Reply time of the HTTP broadcast server to a plain request while slow clients trickle their
headers a byte at a time (the server's default bounds), for 0, 60 and 120 slow clients.

Bounded: a few requests per count, each waited for at most 30 s.

    python3 bench/bench_http_slow.py [--build DIR] [--requests N]
"""
import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "blackbox"))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(SOURCE_DIR, "build"))
    ap.add_argument("--requests", type=int, default=5, help="plain requests per count of slow clients")
    args = ap.parse_args()
    os.environ["BUILD_DIR"] = args.build
    import harness
    harness.launch(sys.argv)
    from gate import gate_board
    from slow_clients import SlowClients, plain_request

    print("%-14s %-12s %-12s %s" % ("slow clients", "median s", "worst s", "answered"))
    for count in (0, 60, 120):
        board = gate_board()
        slow = None
        try:
            port = harness.free_port()
            harness.start_http(board, port)
            slow = SlowClients(port, count)
            took = []
            for _ in range(args.requests):
                slow.trickle()
                got, t = plain_request(port, slow)
                took.append(t if got.startswith(b"HTTP/1.1 200 OK") and t is not None else float("inf"))
            took.sort()
            print("%-14d %-12.4f %-12.4f %d/%d" % (count, took[len(took) // 2], took[-1],
                                                   sum(t != float("inf") for t in took), len(took)))
        finally:
            if slow:
                slow.close()
            board.close()


if __name__ == "__main__":
    main()

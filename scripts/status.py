#!/usr/bin/env python3
"""Prints one status line a second for each radio line of the running system: registration,
call state, far end, codec (from the shared memory radiogate keeps for the web program), the
radio's PTT and COR, and the RTP packets the line's DSP channel played to its radio (in) and
took from it toward the network (out) (from the simulated board's control socket).

    status.py [--root ROOT] [--once]

Runs where radiogate's shared memory is (inside the board's IPC namespace; ./run.sh starts it
there). The board root is --root, else as for board.py. Text comes out in the terminal's own
encoding: radiogate's GBK texts are decoded first. Standard library only.
"""
import argparse
import os
import sqlite3
import sys
import time
import unicodedata

import board

sys.path.insert(0, os.path.join(os.path.dirname(board.HERE), "tests", "blackbox"))
import webcfg  # noqa: E402  (the segment's layout, shared with the tests' web-program stand-in)

REGISTRATION = {-1: "starting", 0: "unregistered", 1: "registered", 2: "refused", 3: "no answer",
                4: "registered(gw)"}
CALL = {0: "idle", 1: "calling", 2: "ringing", 3: "talking", 4: "busy-tone", 5: "keys",
        6: "func-key", 7: "dial-tone", 8: "ring-back"}


def text(raw):
    return raw.decode("gbk", errors="replace")


def pad(s, width):
    """s padded to width terminal columns (CJK characters take two)."""
    used = sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in s)
    return s + " " * max(0, width - used)


def lines_of(root):
    """The configured lines as (line, own number), from the gateway's database."""
    try:
        con = sqlite3.connect("file:%s?mode=ro" % os.path.join(root, "var/www/QVD.db"), uri=True)
        try:
            rows = con.execute("SELECT USER_CHN, USER_TEL FROM TB_USER ORDER BY USER_CHN").fetchall()
        finally:
            con.close()
        return [(int(n), str(tel)) for n, tel in rows if 0 <= int(n) < 9]
    except (sqlite3.Error, ValueError, TypeError):
        return [(0, "?"), (1, "?")]


def status_line(line, tel, st, ptt, cor, chan):
    far = "-"
    if st["caller_id"] or st["remote_port"]:
        far = text(st["caller_id"]) or "?"
        if st["remote_port"]:
            far += "@%s:%d" % (text(st["remote_ip"]), st["remote_port"])
    onoff = lambda word: "?" if word is None else ("on" if word >> line & 1 else "off")  # noqa: E731
    rtp = "in=%s out=%s" % ((chan["rx"], chan["tx"]) if chan else ("?", "?"))
    return "%s line %d (%s) %-13s %-9s far=%s codec=%s PTT=%-3s COR=%-3s rtp %s" % (
        time.strftime("%H:%M:%S"), line, tel, REGISTRATION.get(st["register_result"], str(st["register_result"])),
        CALL.get(st["status_line"], str(st["status_line"])), pad(far, 28), pad(text(st["code_type"]) or "-", 6),
        onoff(ptt), onoff(cor), rtp)


def ask(b, what, *args):
    try:
        return getattr(b, what)(*args)
    except (OSError, ValueError, KeyError):
        return None


def main(argv):
    ap = argparse.ArgumentParser(description="One status line a second per radio line.")
    ap.add_argument("--root", default=board.board_root())
    ap.add_argument("--once", action="store_true", help="one round of lines, then end")
    args = ap.parse_args(argv)
    root = os.path.abspath(args.root)
    # radiogate makes the segment and the control socket at start-up.
    while not (webcfg.segment_exists() and os.path.exists(os.path.join(root, board.CTL))):
        time.sleep(0.2)
    seg = webcfg.Segment()
    b = board.Board(root, timeout=1.0)
    lines = lines_of(root)
    try:
        due = time.monotonic()
        while True:
            ptt, cor = ask(b, "ptt_word"), ask(b, "cor_word")
            for line, tel in lines:
                print(status_line(line, tel, seg.line_status(line), ptt, cor, ask(b, "chan", line)), flush=True)
            if args.once:
                return 0
            due += 1.0
            time.sleep(max(0.0, due - time.monotonic()))
    except (KeyboardInterrupt, BrokenPipeError):
        return 0
    finally:
        b.close()
        seg.detach()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

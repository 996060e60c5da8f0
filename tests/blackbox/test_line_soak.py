"""Hundreds of calls to and from the gateway's lines through the board's own sipswitch, ending
every way a call ends: the phone's BYE, the line's BYE (its radio keys the hang-up key, or the
phone falls silent for T_NO_RTP), the phone's CANCEL sent right behind its INVITE, the busy line
(486), a second call within the line's one-second guard and an unknown number (480, the latter
straight from a softswitch address of the configuration), and the line's own re-call that no one
answers (the line's CANCEL after T_NO_ANSWER) or that finds the phone busy. Afterwards every
line is idle with its stack channel, RTP port and DSP channel free, and the gateway's resident
memory has not grown since a warm-up batch: a leak check, not a speed check.

Each of nine lines has its own plain phone and runs its calls as a generator that gives way
whenever it waits on the gateway (the busy tone, the guard, a timer), so the lines' calls
overlap and the run takes minutes, not the sum of every call's timers."""
import collections
import os
import socket
import struct
import time

from call_parties import Phone, first_line, header
from gate import line_rtp_port, make_qvd_db
from harness import BUILD_DIR, ETH0_ADDR, free_port, main
from test_line_calls import Board

CALLS = 400
# Calls before the first memory reading: the stack takes a new channel for each call in turn,
# so its fixed tables are paged in over the first calls; a leak grows on after that.
WARM_UP = 160
RSS_GROWTH_KB = 2048  # a leak of a few hundred bytes a call would pass this over the run
LINES = 9             # a nine-line board: the more lines, the more calls overlap
RECALLER = 8          # the line that calls its caller back after the caller's BYE
GATE_SIP_PORT = 5062
KEY_AND_TIME = {"T_BUSY_TONE": 1, "T_NO_RTP": 2, "T_NO_ANSWER": 1, "T_RING_BACK_VALU": 1,
                "T_RING_BACK_INVALU": 1}
# The ways a call to lines 0..2 ends, taken in turn; line 3's calls end through its re-call.
WAYS = ["phone_bye", "hang_up_key", "cancel", "busy", "phone_bye", "guard", "unknown", "silent"]
RECALL_WAYS = ["unanswered", "busy_far_end"]


def sdp(port):
    return (b"v=0\r\no=phone 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
            b"m=audio %d RTP/AVP 8\r\n" % port)


def rtp(seq):
    return struct.pack("!BBHII", 0x80, 8, seq & 0xFFFF, seq * 160, 0x1234) + b"\xaa\x2a" * 80


def sanitized():
    """Whether radiogate is the AddressSanitizer build: its allocator keeps freed memory in
    quarantine, so its resident size says nothing of leaks (LeakSanitizer reports those when
    the program ends)."""
    with open(os.path.join(BUILD_DIR, "radiogate"), "rb") as f:
        return b"__asan_init" in f.read()


def vmrss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for row in f:
            if row.startswith("VmRSS:"):
                return int(row.split()[1])
    raise AssertionError("no VmRSS for %d" % pid)


class Party:
    """A line's phone: a plain UDP phone registered with the switch, what it has received kept
    until a step takes it, and a media socket the phone offers."""

    def __init__(self, switch, number):
        self.phone = Phone(switch, number)
        self.phone.sock.setblocking(False)
        self.inbox = []
        self.media = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.media.bind(("127.0.0.1", 0))
        self.media.setblocking(False)
        self.media_port = self.media.getsockname()[1]
        self.seq = 0

    def take(self, start, callid=None):
        """The first message received that starts with start (of the call callid, when given),
        taken out of the inbox; None when none has arrived."""
        try:
            while True:
                self.inbox.append(self.phone.sock.recv(65535))
        except BlockingIOError:
            pass
        for i, m in enumerate(self.inbox):
            if m.startswith(start) and (callid is None or header(m, b"Call-ID") == b"Call-ID: " + callid):
                return self.inbox.pop(i)
        return None

    def drain_media(self):
        try:
            while self.media.recv(2048):
                pass
        except BlockingIOError:
            pass

    def close(self):
        self.phone.close()
        self.media.close()


class Soak(Board):
    users = [make_qvd_db.user_row(line) for line in range(LINES)]
    users[RECALLER] = dict(users[RECALLER], REDIAL_BYE=1, REDIAL_INTERVAL=1)
    key_and_time = KEY_AND_TIME
    register_results = {line: 1 for line in range(LINES)}
    with_phone = False

    def setUp(self):
        self.direct = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(self.direct.close)
        self.direct.bind(("127.0.0.1", free_port()))
        self.ini = {"SYS_COMP_MODE": 2, "IP_SWITCH_1": "127.0.0.1", "PORT_SWITCH_1": self.direct.getsockname()[1]}
        super().setUp()
        self.parties = [Party(self.switch, b"%d" % (9001 + line)) for line in range(LINES)]
        self.other = Party(self.switch, b"9099")   # the second caller of the busy and guard rows
        for p in self.parties + [self.other]:
            self.addCleanup(p.close)

    # ---- steps of a line's generator: each yields while it waits

    def until(self, what, pred, timeout=20.0):
        """Yields until pred() is true; the failure names what was awaited."""
        end = time.time() + timeout
        while True:
            v = pred()
            if v:
                return v
            if time.time() > end:
                raise AssertionError("%s: not within %d s" % (what, timeout))
            yield

    def final(self, party, callid):
        """Yields until the final answer to the INVITE callid; returns it."""
        m = yield from self.until("answer to %s" % callid, lambda: party.take(b"SIP/2.0 ", callid))
        while first_line(m).startswith(b"SIP/2.0 1"):
            m = yield from self.until("final answer to %s" % callid, lambda: party.take(b"SIP/2.0 ", callid))
        return m

    def talking(self, line, party, callid):
        """A call of party to line, answered and acknowledged; returns its Call-ID. A line
        refuses calls within a second of the last one it took: those are made again."""
        tel = b"%d" % (8001 + line)
        yield from self.until("line %d idle" % line, lambda: self.idle(line))
        for n in range(40):
            cid = callid + b"-%d" % n
            party.phone.send(party.phone.request(b"INVITE", cid, tel, 1, sdp(party.media_port)))
            answer = yield from self.final(party, cid)
            if first_line(answer).startswith(b"SIP/2.0 200"):
                party.phone.send(party.phone.request(b"ACK", cid, tel, 1))
                yield from self.until("line %d talking" % line,
                                      lambda: self.line(line)["status_line"] == 3)
                return cid
            wait = time.time() + 0.2
            yield from self.until("pause", lambda: time.time() > wait)
        raise AssertionError("line %d answered none of 40 calls: %r" % (line, answer))

    def speak(self, line, party):
        party.seq += 1
        party.media.sendto(rtp(party.seq), (ETH0_ADDR, line_rtp_port(line)))

    def line(self, line):
        self.gate.read(0.001)   # the console is drained while the loop polls
        return self.seg.line_status(line)

    def idle(self, line):
        state = self.line(line)
        return state["status_line"] == 0 and state["chn_sip"] == -1

    def bye(self, line, party, cid, cseq=2):
        party.phone.send(party.phone.request(b"BYE", cid, b"%d" % (8001 + line), cseq))
        yield from self.until("200 to BYE", lambda: party.take(b"SIP/2.0 200", cid))

    def answer_bye(self, party, cid, timeout=20.0):
        bye = yield from self.until("the line's BYE", lambda: party.take(b"BYE ", cid), timeout)
        party.phone.reply(bye, b"200 OK")

    def call_ends(self, line, way, n):
        """One call of the line's phone to line 0..2, ended the way named."""
        party, tel, callid = self.parties[line], b"%d" % (8001 + line), b"soak%d" % n
        if way == "unknown":
            # Straight from a softswitch address: the gateway itself refuses a number it has not.
            self.direct.sendto(b"INVITE sip:8099@%s:%d SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:%d;branch=z9hG4bK%s\r\n"
                               b"Max-Forwards: 70\r\nFrom: <sip:9001@127.0.0.1>;tag=d\r\nTo: <sip:8099@%s>\r\n"
                               b"Call-ID: %s\r\nCSeq: 1 INVITE\r\nContact: <sip:9001@127.0.0.1:%d>\r\n"
                               b"Content-Length: 0\r\n\r\n"
                               % (ETH0_ADDR.encode(), GATE_SIP_PORT, self.direct.getsockname()[1], callid,
                                  ETH0_ADDR.encode(), callid, self.direct.getsockname()[1]),
                               (ETH0_ADDR, GATE_SIP_PORT))
            self.direct.settimeout(10)
            while True:
                m = self.direct.recv(65535)
                if header(m, b"Call-ID") == b"Call-ID: " + callid and not first_line(m).startswith(b"SIP/2.0 1"):
                    break
            self.assertEqual(first_line(m), b"SIP/2.0 480 Temporarily Unavailable")
            self.counts[way] += 1
            return
        if way == "cancel":
            yield from self.until("line %d idle" % line, lambda: self.idle(line))
            party.phone.send(party.phone.request(b"INVITE", callid, tel, 1, sdp(party.media_port)))
            party.phone.send(party.phone.request(b"CANCEL", callid, tel, 1))
            answer = yield from self.final(party, callid)
            # The line answers at once, so the CANCEL may come after its 200: the call is then
            # acknowledged and ended by the phone's BYE.
            if first_line(answer).startswith(b"SIP/2.0 200"):
                party.phone.send(party.phone.request(b"ACK", callid, tel, 1))
                yield from self.bye(line, party, callid)
                self.counts["cancel too late"] += 1
            else:
                self.counts[way] += 1
                party.phone.send(party.phone.request(b"ACK", callid, tel, 1))
            return
        cid = yield from self.talking(line, party, callid)
        if way != "silent":
            self.speak(line, party)
        if way in ("busy", "guard"):
            # Within the guard the second call gets 480 (the switch passes it on as 488); past
            # it the busy line answers 486, and a new guard starts.
            want = b"SIP/2.0 488" if way == "guard" else b"SIP/2.0 486"
            for k in range(40):
                c2 = callid + b"-%s%d" % (way.encode(), k)
                self.other.phone.send(self.other.phone.request(b"INVITE", c2, tel, 1, sdp(self.other.media_port)))
                answer = yield from self.final(self.other, c2)
                if first_line(answer).startswith(want):
                    break
                wait = time.time() + 0.3
                yield from self.until("pause", lambda: time.time() > wait)
                self.speak(line, party)   # so that T_NO_RTP does not end the call meanwhile
            self.assertTrue(first_line(answer).startswith(want), answer)
            yield from self.bye(line, party, cid, 3)
        elif way == "phone_bye":
            yield from self.bye(line, party, cid)
        elif way == "hang_up_key":
            self.sim.digits(self.sim.dsp(line), "##")
            yield from self.answer_bye(party, cid)
        elif way == "silent":
            yield from self.answer_bye(party, cid, timeout=KEY_AND_TIME["T_NO_RTP"] + 20)
        self.counts[way] += 1

    def recall_ends(self, n):
        """A call to the re-calling line ended by the phone's BYE, and the line's re-call ended
        the way named."""
        line, party = RECALLER, self.parties[RECALLER]
        way = RECALL_WAYS[n % len(RECALL_WAYS)]
        cid = yield from self.talking(line, party, b"recall%d" % n)
        yield from self.bye(line, party, cid)
        invite = yield from self.until("the line's re-call", lambda: party.take(b"INVITE "))
        if way == "unanswered":
            # Ringing until T_NO_ANSWER: the line's CANCEL; the re-call stays pending, so the
            # line calls once more and finds the phone busy.
            party.phone.reply(invite, b"180 Ringing")
            icid = header(invite, b"Call-ID")[len(b"Call-ID: "):]
            cancel = yield from self.until("the line's CANCEL", lambda: party.take(b"CANCEL ", icid))
            party.phone.reply(cancel, b"200 OK")
            party.phone.reply(invite, b"487 Request Terminated")
            invite = yield from self.until("the second re-call",
                                           lambda: self.new_invite(party, icid))
        party.phone.reply(invite, b"486 Busy Here")
        yield from self.until("line %d idle" % line, lambda: self.idle(line))
        self.counts["recall " + way] += 1

    def new_invite(self, party, old):
        m = party.take(b"INVITE ")
        while m is not None and header(m, b"Call-ID") == b"Call-ID: " + old:
            m = party.take(b"INVITE ")  # the switch repeats an INVITE until the answer arrives
        return m

    def line_calls(self, line, share):
        """The generator of one line's share of calls."""
        for n in range(share):
            if line == RECALLER:
                yield from self.recall_ends(n)
            else:
                yield from self.call_ends(line, WAYS[(n + line) % len(WAYS)], n * LINES + line)

    def run_calls(self, total):
        """About total calls shared by the lines, their generators taken in turn until all end."""
        # The re-calling line's calls take the longest: it takes a twentieth of them.
        shares = [total // 20 if line == RECALLER else (total - total // 20) // (LINES - 1) for line in range(LINES)]
        runs = [self.line_calls(line, share) for line, share in enumerate(shares)]
        while runs:
            for run in list(runs):
                try:
                    next(run)
                except StopIteration:
                    runs.remove(run)
            self.gate.read(0.005)
            for p in self.parties + [self.other]:
                p.drain_media()

    def test_calls_ending_every_way_leave_every_channel_free_and_memory_flat(self):
        self.counts = collections.Counter()
        pid = self.gate.p.pid
        self.run_calls(WARM_UP)
        before = vmrss_kb(pid)
        self.run_calls(CALLS - WARM_UP)
        for line in range(LINES):
            self.assertTrue(self.line_freed(line), (line, self.line(line), self.sim.chan(self.sim.dsp(line))))
        self.assertEqual(self.sim.ptt(), 0)
        after = vmrss_kb(pid)
        if not sanitized():
            self.assertLess(after - before, RSS_GROWTH_KB, (before, after))
        # Every way came round.
        for way in set(WAYS) - {"cancel"} | {"recall " + w for w in RECALL_WAYS}:
            self.assertGreater(self.counts[way], 0, self.counts)
        self.assertGreater(self.counts["cancel"] + self.counts["cancel too late"], 0, self.counts)


if __name__ == "__main__":
    main()

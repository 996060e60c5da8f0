"""The registrar with authentication on, under attack: a flood of tiny datagrams while SIPp
registers every number the table holds, an authorized REGISTER replayed from elsewhere, and
challenges nobody answers."""
import os
import socket
import subprocess
import threading
import time
import unittest

from harness import PORT_ARG, free_port, main, run_sipp
from test_registrar import SIPP_DIR, Phone, Switch, nonce_of, sipp_messages, status

USERS = 490   # every slot the table has for users


def sipp_register(sw, numbers, rate, port=None, trace=False):
    """SIPp registers the numbers (challenge, answer with the empty password, 200) at rate per
    second; returns its exit code (0: every registration passed) and, with trace, its messages."""
    sw.runs += 1
    users = sw.board.path("var/attack_users%d.csv" % sw.runs)
    log = sw.board.path("var/attack_sipp%d.log" % sw.runs)
    errors = sw.board.path("var/attack_sipp%d.err" % sw.runs)
    with open(users, "w") as f:
        f.write("SEQUENTIAL\n" + "".join("%s;\n" % n for n in numbers))
    args = ["sipp", "127.0.0.1:%d" % sw.port, "-sf", os.path.join(SIPP_DIR, "register_auth.xml"),
            "-inf", users, "-key", "expires", "3600", "-au", "[field0]", "-ap", "",
            "-r", str(rate), "-m", str(len(numbers)), "-i", "127.0.0.1", "-p", PORT_ARG,
            "-nostdin", "-timeout", "50s", "-timeout_error", "-trace_err", "-error_file", errors]
    if trace:
        args += ["-trace_msg", "-message_file", log]
    r = run_sipp(args, port, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=80,
                 cwd=sw.board.path("var"))
    if r.returncode != 0 and os.path.exists(errors):
        with open(errors, "rb") as f:
            print("SIPp's errors, from the start:\n%s" % f.read(3000).decode("latin-1"))
    return r.returncode, sipp_messages(log) if trace else []


class Flood(threading.Thread):
    """Sends tiny datagrams (CRLF keepalives and 1 to 4 bytes of anything) to the switch's SIP
    port from a few sockets, RATE a second until stopped: more than a receive step that ends at
    such a datagram reads (one a pass), and slow enough that the socket's queue outlasts the
    switch being kept off the processor for a while on a busy host."""
    PAYLOADS = (b"\r\n\r\n", b"\r\n", b"\0", b"x", b"ab", b"\r\n\r", b"\xff\xfe\xfd\xfc")
    RATE = 10000
    BURST = 20   # a burst must fit the socket's queue, or the flood tests the queue, not the switch

    def __init__(self, port):
        super().__init__(daemon=True)
        self.to = ("127.0.0.1", port)
        self.stop = threading.Event()
        self.sent = 0

    def run(self):
        socks = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(4)]
        start = time.monotonic()
        try:
            while not self.stop.is_set():
                for i in range(self.BURST):
                    try:
                        socks[i % len(socks)].sendto(self.PAYLOADS[i % len(self.PAYLOADS)], self.to)
                        self.sent += 1
                    except OSError:
                        pass
                ahead = self.sent / self.RATE - (time.monotonic() - start)
                if ahead > 0:
                    time.sleep(ahead)
        finally:
            for s in socks:
                s.close()


class Attacks(unittest.TestCase):
    def setUp(self):
        self.sw = Switch("sip_debug=0\nsip_authen_enable=1\nsip_authen_type=0\n")

    def tearDown(self):
        self.assertEqual(self.sw.close(), 0)

    def assert_table_full(self):
        """No slot is left: a new number is refused before it is challenged."""
        phone = Phone(self.sw, "127.0.0.9")
        try:
            self.assertEqual(status(phone.register(b"99999")), 488)
        finally:
            phone.close()

    def test_tiny_datagram_flood_costs_no_registration(self):
        flood = Flood(self.sw.port)
        flood.start()
        try:
            rc, _ = sipp_register(self.sw, [str(30000 + i) for i in range(USERS)], rate=100)
        finally:
            flood.stop.set()
            flood.join()
        self.assertGreater(flood.sent, 10000, "the flood ran")
        self.assertEqual(rc, 0, "every registration passed")
        self.assertIsNone(self.sw.prog.poll())
        self.assert_table_full()

    def test_a_replayed_authorized_register_is_challenged(self):
        home = free_port()
        rc, msgs = sipp_register(self.sw, ["4001"], rate=10, port=home, trace=True)
        self.assertEqual(rc, 0)
        authorized = msgs[2][1]
        self.assertIn(b"\r\nAuthorization: Digest ", authorized)
        used = nonce_of(msgs[1][1])
        at_home = Phone(self.sw, "127.0.0.1", home)
        thief = Phone(self.sw, "127.0.0.2")
        try:
            at = b"127.0.0.1:%d" % home
            replays = (
                # The very datagram from another address: its Via still names home.
                (authorized, at_home),
                # Re-addressed to the sender, so that the binding would move there.
                (authorized.replace(at, b"127.0.0.2:%d" % thief.port), thief),
            )
            for text, hears in replays:
                with self.subTest(via=hears.port):
                    thief.sock.sendto(text, ("127.0.0.1", self.sw.port))
                    reply = hears.recv()
                    self.assertEqual(status(reply), 401)
                    self.assertNotIn(nonce_of(reply), (None, used))
            # The registration stayed home: it heard no notice that it moved.
            self.assertIsNone(at_home.pending())
        finally:
            at_home.close()
            thief.close()

    def test_unanswered_challenges_leave_room_for_new_users(self):
        # All slots but one taken by users who answered.
        rc, _ = sipp_register(self.sw, [str(30000 + i) for i in range(USERS - 1)], rate=500)
        self.assertEqual(rc, 0)
        attacker = Phone(self.sw, "127.0.0.3")
        try:
            for i in range(500):
                self.assertEqual(status(attacker.register(b"%d" % (60000 + i), expires=3600)), 401, i)
        finally:
            attacker.close()
        rc, _ = sipp_register(self.sw, ["4002"], rate=10)
        self.assertEqual(rc, 0, "the last slot went to a user who answered")
        self.assert_table_full()


if __name__ == "__main__":
    main()

"""Real phones through sipswitch: three linphone-cli phones register (authentication off, and
on) and call each other: ringing, answer, talk, hang-up from either side, decline, cancel,
busy, and hold and resume, which the held phone must see."""
import unittest

import harness
import phones


class PhoneCalls:
    SETTINGS = ""
    PASSWORD = None

    @classmethod
    def setUpClass(cls):
        cls.sw, cls.phones = phones.switch_with_phones(cls.SETTINGS, cls.PASSWORD)
        cls.a, cls.b, cls.c = cls.phones

    @classmethod
    def tearDownClass(cls):
        phones.close_phones(cls.phones)
        cls.sw.close()

    def tearDown(self):
        # Each test starts with idle phones, whatever the one before left.
        for p in self.phones:
            if p.state() is not None:
                p.hang_up()
        for p in self.phones:
            p.wait_state(None)

    def assert_states(self, *pairs):
        for phone, state in pairs:
            self.assertTrue(phone.wait_state(state), "%s: %s, not %s" % (phone.number, phone.state(), state))

    def ring(self, caller, callee):
        caller.dial(callee)
        self.assert_states((caller, "OutgoingRinging"), (callee, "IncomingReceived"))

    def connect(self, caller, callee):
        self.ring(caller, callee)
        callee.answer()
        self.assert_states((caller, "StreamsRunning"), (callee, "StreamsRunning"))
        # The switch offers each phone the other's own media address: they talk directly.
        self.assertIn(b"m=audio %d " % caller.rtp_port, callee.log())
        self.assertIn(b"m=audio %d " % callee.rtp_port, caller.log())

    def test_every_phone_registered(self):
        for p in self.phones:
            self.assertTrue(p.registered(), p.sh("status", "register"))

    def test_calls_both_ways_ended_from_either_side(self):
        a, b = self.a, self.b
        for caller, callee, ender in ((a, b, a), (a, b, b), (b, a, b), (b, a, a)):
            with self.subTest(caller=caller.number, callee=callee.number, ender=ender.number):
                self.connect(caller, callee)
                ender.hang_up()
                self.assert_states((caller, None), (callee, None))

    def test_a_declined_call_ends_at_the_caller(self):
        self.ring(self.a, self.b)
        self.b.hang_up()   # an incoming call refused: 603
        self.assert_states((self.a, None), (self.b, None))
        self.assertIn(b"SIP/2.0 488 Not Acceptable Here", self.a.log())

    def test_a_cancelled_call_stops_ringing_at_the_callee(self):
        self.ring(self.a, self.b)
        self.a.hang_up()
        self.assert_states((self.b, None), (self.a, None))

    def test_a_phone_in_a_call_is_busy_for_a_third(self):
        self.connect(self.a, self.b)
        self.c.dial(self.b)
        self.assert_states((self.c, None))
        self.assertIn(b"SIP/2.0 486 BusyHere", self.c.log())
        self.assert_states((self.a, "StreamsRunning"), (self.b, "StreamsRunning"))

    def test_hold_and_resume_reach_the_held_phone(self):
        a, b = self.a, self.b
        self.connect(a, b)
        for holder, held in ((a, b), (b, a)):
            with self.subTest(holder=holder.number):
                holder.pause()
                self.assert_states((holder, "Paused"), (held, "PausedByRemote"))
                holder.resume()
                self.assert_states((holder, "StreamsRunning"), (held, "StreamsRunning"))


class AuthenticationOff(PhoneCalls, unittest.TestCase):
    pass


class AuthenticationOn(PhoneCalls, unittest.TestCase):
    SETTINGS = "sip_authen_enable=1\nsip_authen_type=0\n"
    PASSWORD = ""


if __name__ == "__main__":
    harness.main()

"""A real phone transfers its call through sipswitch: linphone-cli phones 801, 802 and 803, a
stand-in of the service program and a user record that lets 802 transfer. 802 answers 801 and
hands it over to 803 blind; the switch gives the transfer to the service program and tells 802
that it is done, so 802 sees its transfer end and its call close."""
import re
import sqlite3
import unittest

import harness
import phones
from service_programs import Program


def make_db(board):
    con = sqlite3.connect(board.path("xfer.db"))
    con.execute("create table softswitch (tel text, status int, zhuanjie int)")
    con.executemany("insert into softswitch values (?, 0, ?)", [("801", 0), ("802", 1), ("803", 0)])
    con.commit()
    con.close()


class PhoneTransfer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sw, cls.phones = phones.switch_with_phones("db name = xfer.db\n", prepare=make_db)
        try:
            cls.program = Program(cls.sw, b"*")
        except Exception:
            phones.close_phones(cls.phones)
            cls.sw.close()
            raise
        cls.a, cls.b, cls.c = cls.phones

    @classmethod
    def tearDownClass(cls):
        phones.close_phones(cls.phones)
        cls.program.close()
        cls.sw.close()

    def assert_state(self, phone, state):
        self.assertTrue(phone.wait_state(state), "%s: %s, not %s" % (phone.number, phone.state(), state))

    def test_blind_transfer_ends_at_the_transferring_phone(self):
        a, b, c = self.a, self.b, self.c
        a.dial(b)
        self.assert_state(b, "IncomingReceived")
        b.answer()
        self.assert_state(a, "StreamsRunning")
        self.assert_state(b, "StreamsRunning")
        b.generic("transfer sip:803@127.0.0.1:%d" % self.sw.port)
        invites = self.program.datagram()
        self.assertIsNotNone(invites, "the service program got the transfer")
        self.assertEqual(len(invites), 2)
        self.assertIn(b"Kelvanor-Info:Softswitch-Freetransfer\r\n", invites[0])
        self.assertTrue(invites[0].startswith(b"INVITE sip:803@"), invites[0][:60])
        # The switch's NOTIFY says the transfer succeeded: the phone marks it done and its call ends.
        self.assert_state(b, None)
        log = b.log()
        self.assertIn(b"Event: refer", log)
        self.assertIsNotNone(re.search(rb"Content-Type: message/sipfrag[^\n]*\r\nContent-Length: 16\r\n\r\n"
                                       rb"SIP/2\.0 200 OK\r\n", log), "802 got no NOTIFY of a transfer done")
        self.assertIsNotNone(re.search(rb"Transfer state for CallSession \[\w+\] changed from \[\w+\] "
                                       rb"to \[LinphoneCallConnected\]", log), "802 did not see its transfer end")
        # 801 is handed to the service program; 803 was not called by the switch directly.
        self.assertEqual(c.state(), None)
        self.assertNotIn(b"INVITE sip:803", c.log())
        a.hang_up()
        self.assert_state(a, None)


if __name__ == "__main__":
    harness.main()

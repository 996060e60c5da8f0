"""The registrar against the running switch: SIPp and a plain UDP phone register, are
challenged, answer (against the password a user's database row holds), move to new addresses
and expire."""
import hashlib
import os
import re
import socket
import sqlite3
import subprocess
import unittest

import harness
from harness import PORT_ARG, SOURCE_DIR, free_port, gbk, main, run_sipp, sipp_messages, wait_for

SIPP_DIR = os.path.join(SOURCE_DIR, "tests", "sipp")
TAIL = b"Content-Length: 0\r\n\r\n"


def notice(number):
    """The 30-byte notice a number's old address gets when it registers from a new one."""
    return b"D\x01\x04\x00\x19" + number + b"\0" * (25 - len(number))


def md5(text):
    return hashlib.md5(text).hexdigest().encode()


def digest(number, nonce, password=b"", uri=b"sip:127.0.0.1", realm=b"127.0.0.1"):
    ha1 = md5(number + b":" + realm + b":" + password)
    ha2 = md5(b"REGISTER:" + uri)
    return md5(ha1 + b":" + nonce + b":" + ha2)


class Switch(harness.Switch):
    """The switch, logging; runs SIPp phones against it."""

    def __init__(self, settings="", prepare=None):
        super().__init__(settings, debug=1, prepare=prepare)
        self.runs = 0

    def log(self):
        return self.board.read("tmp/log/softswitch.log") if self.board.exists("tmp/log/softswitch.log") else b""

    def sipp(self, scenario, number, ip="127.0.0.1", port=None, expires=60, keys=(), password=None):
        """Runs one SIPp call; returns its exit code and the messages it sent and received."""
        self.runs += 1
        users = self.board.path("var/users%d.csv" % self.runs)
        trace = self.board.path("var/sipp%d.log" % self.runs)
        with open(users, "w") as f:
            f.write("SEQUENTIAL\n%s;\n" % number)
        args = ["sipp", "127.0.0.1:%d" % self.port, "-sf", os.path.join(SIPP_DIR, scenario),
                "-inf", users, "-key", "expires", str(expires), "-m", "1", "-i", ip,
                "-p", PORT_ARG, "-nostdin", "-trace_msg", "-message_file", trace,
                "-timeout", "15s", "-timeout_error"]
        for k, v in keys:
            args += ["-key", k, v]
        if password is not None:
            args += ["-au", number, "-ap", password]
        r = run_sipp(args, port, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60,
                     cwd=self.board.path("var"))
        return r.returncode, sipp_messages(trace)


def header(message, name):
    for line in message.split(b"\r\n"):
        if line.lower().startswith(name.lower() + b":"):
            return line
    return None


class Phone:
    """A plain UDP phone on a loopback address; its Via names it, so answers come here."""

    def __init__(self, sw, ip="127.0.0.1", port=0):
        self.sw = sw
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((ip, port))
        self.ip, self.port = self.sock.getsockname()
        self.cseq = 0

    def register(self, number, extra=b"", expires=60):
        self.cseq += 1
        at = b"%s:%d" % (self.ip.encode(), self.port)
        self.sock.sendto(b"REGISTER sip:127.0.0.1 SIP/2.0\r\n"
                         b"Via: SIP/2.0/UDP " + at + b";branch=z9hG4bK%d\r\n" % self.cseq +
                         b"From: <sip:" + number + b"@127.0.0.1>;tag=9\r\n"
                         b"To: <sip:" + number + b"@127.0.0.1>\r\n"
                         b"Call-ID: r" + number + b"@" + at + b"\r\n"
                         b"CSeq: %d REGISTER\r\n" % self.cseq +
                         b"Contact: <sip:" + number + b"@" + at + b">\r\n"
                         b"Expires: %d\r\n" % expires + extra + TAIL, ("127.0.0.1", self.sw.port))
        return self.recv()

    def answer(self, number, nonce, response, proxy=False):
        name = b"Proxy-Authorization" if proxy else b"Authorization"
        return self.register(number, name + b': Digest username="' + number + b'",realm="127.0.0.1",nonce="' + nonce +
                             b'",uri="sip:127.0.0.1",response="' + response + b'",algorithm=MD5\r\n')

    def recv(self, timeout=5.0):
        self.sock.settimeout(timeout)
        try:
            return self.sock.recv(65535)
        except socket.timeout:
            return None

    def pending(self):
        """Whatever is waiting now, without waiting for more."""
        return self.recv(timeout=0.05)

    def close(self):
        self.sock.close()


def status(message):
    return int(message.split(b" ")[1]) if message else None


def nonce_of(challenge):
    m = re.search(rb'nonce="(\d+)"', challenge or b"")
    return m.group(1) if m else None


class AuthOff(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sw = Switch()

    @classmethod
    def tearDownClass(cls):
        assert cls.sw.close() == 0

    def test_200_echoes_the_register_lines(self):
        rc, msgs = self.sw.sipp("register.xml", "1001", expires=60)
        self.assertEqual(rc, 0)
        (_, sent), (_, got) = msgs
        want = (b"SIP/2.0 200 OK\r\n" + b"".join(header(sent, n) + b"\r\n" for n in (
            b"Via", b"From", b"To", b"Call-ID", b"Expires", b"Contact", b"User-Agent", b"CSeq")) + TAIL)
        self.assertEqual(got, want)
        self.assertNotIn(b"tag", header(got, b"To"))

    def test_new_address_hears_nothing_but_the_old_one_gets_the_notice_first(self):
        old_port = free_port()
        rc, _ = self.sw.sipp("register.xml", "1002", ip="127.0.0.1", port=old_port)
        self.assertEqual(rc, 0)
        old = Phone(self.sw, "127.0.0.1", old_port)
        try:
            new_port = free_port()
            rc, _ = self.sw.sipp("register.xml", "1002", ip="127.0.0.2", port=new_port)
            self.assertEqual(rc, 0)
            self.assertEqual(old.recv(), notice(b"1002"))
            log = self.sw.log()
            to_old = log.rfind(b"Send_Udp_Data remoteip = 127.0.0.1 remoteport = %d \n" % old_port)
            to_new = log.rfind(b"Send_Udp_Data remoteip = 127.0.0.2 remoteport = %d \n" % new_port)
            self.assertTrue(0 <= to_old < to_new)
            # Registering again from where it now is tells nobody.
            rc, _ = self.sw.sipp("register.xml", "1002", ip="127.0.0.2", port=new_port)
            self.assertEqual(rc, 0)
            self.assertIsNone(old.pending())
        finally:
            old.close()

    def test_expires_zero_and_lifetime_end_free_the_slot(self):
        for number, expires in ((b"1003", 0), (b"1004", 2)):
            with self.subTest(expires=expires):
                old = Phone(self.sw, "127.0.0.1")
                try:
                    self.assertEqual(status(old.register(number, expires=expires)), 200)
                    expired = re.compile(re.escape(b"!!!reg[") + rb"\d+" + re.escape(b"] tel=[" + number + b"] " +
                                                                                gbk("注册超时,注销!\n")))
                    self.assertTrue(wait_for(lambda: expired.search(self.sw.log()), timeout=10))
                    # The slot is gone: a REGISTER from elsewhere is a new registration.
                    rc, _ = self.sw.sipp("register.xml", number.decode(), ip="127.0.0.2")
                    self.assertEqual(rc, 0)
                    self.assertIsNone(old.pending())
                finally:
                    old.close()


class TableFull(unittest.TestCase):
    def test_the_491st_number_is_refused(self):
        sw = Switch("sip_debug=0\n")
        phone = Phone(sw)
        try:
            for i in range(490):
                self.assertEqual(status(phone.register(b"%d" % (3000 + i))), 200, i)
            self.assertEqual(status(phone.register(b"9999")), 488)
            self.assertEqual(status(phone.register(b"3000")), 200)
        finally:
            phone.close()
            self.assertEqual(sw.close(), 0)


class AuthOn(unittest.TestCase):
    """Each authentication type on its own switch."""

    def run_type(self, body):
        for kind in (0, 1):
            with self.subTest(sip_authen_type=kind):
                sw = Switch("sip_authen_enable=1\nsip_authen_type=%d\n" % kind)
                try:
                    body(sw, kind)
                finally:
                    self.assertEqual(sw.close(), 0)

    def test_sipp_is_challenged_answers_and_is_registered(self):
        def body(sw, kind):
            rc, msgs = sw.sipp("register_auth.xml", "2001", password="")
            self.assertEqual(rc, 0)
            challenge = msgs[1][1]
            self.assertTrue(challenge.startswith(b"SIP/2.0 401 Unauthorized\r\n" if kind == 0 else
                                                 b"SIP/2.0 407 Proxy Authentication Required\r\n"))
            line = header(challenge, b"WWW-Authenticate" if kind == 0 else b"Proxy-Authenticate")
            self.assertEqual(line, (b'WWW-Authenticate: Digest realm="127.0.0.1",nonce="%s",stale=FALSE,algorithm=MD5'
                                    if kind == 0 else
                                    b'Proxy-Authenticate: Digest realm="127.0.0.1",nonce="%s",algorithm=MD5')
                             % nonce_of(challenge))
            self.assertTrue(msgs[3][1].startswith(b"SIP/2.0 200 OK\r\n"))
            # A wrong password is refused after the challenge.
            rc, _ = sw.sipp("register_auth_refused.xml", "2002", password="wrong")
            self.assertEqual(rc, 0)
        self.run_type(body)

    def test_refused_answers_leave_the_binding_untouched(self):
        def body(sw, kind):
            proxy = kind == 1
            home = free_port()
            rc, _ = sw.sipp("register_auth.xml", "2003", ip="127.0.0.1", port=home, password="")
            self.assertEqual(rc, 0)
            at_home = Phone(sw, "127.0.0.1", home)
            other = Phone(sw, "127.0.0.2")
            third = Phone(sw, "127.0.0.3")
            try:
                first = other.register(b"2003")
                self.assertEqual(status(first), 401 if kind == 0 else 407)
                n1 = nonce_of(first)
                self.assertEqual(status(other.answer(b"2003", n1, digest(b"2003", n1, b"wrong"), proxy)), 488)
                n2 = nonce_of(other.register(b"2003"))
                self.assertEqual(status(other.answer(b"2003", n1, digest(b"2003", n1), proxy)), 488)  # stale
                self.assertEqual(status(other.answer(b"2003", b"", digest(b"2003", b""), proxy)), 488)
                self.assertIsNone(at_home.pending())
                # The registration still stands at home: the right answer from a third address
                # moves it, and home hears of it.
                self.assertEqual(status(third.answer(b"2003", n2, digest(b"2003", n2), proxy)), 200)
                self.assertEqual(at_home.recv(), notice(b"2003"))
                self.assertIsNone(other.pending())
            finally:
                for p in (at_home, other, third):
                    p.close()
        self.run_type(body)

    def test_an_answer_without_a_challenge_is_refused(self):
        def body(sw, kind):
            phone = Phone(sw)
            try:
                for nonce in (b"", b"123"):
                    reply = phone.answer(b"2004", nonce, digest(b"2004", nonce), kind == 1)
                    self.assertEqual(status(reply), 488, nonce)
            finally:
                phone.close()
        self.run_type(body)


def password_rows(board):
    """Table softswitch of the switch's database: 5001 with a password, 5002 with an empty one
    (5003 has no row)."""
    con = sqlite3.connect(board.path("reg.db"))
    con.execute("create table softswitch (tel text, password text, status int)")
    con.executemany("insert into softswitch values (?, ?, 0)", [("5001", "s3cret"), ("5002", "")])
    con.commit()
    con.close()


class StoredPassword(unittest.TestCase):
    def test_only_the_rows_password_registers_the_number(self):
        # Each row: number, password it answers the challenge with, the answer's status. The
        # empty password, which every number once passed with, must not pass for 5001.
        cases = ((b"5001", b"", 488), (b"5001", b"S3CRET", 488), (b"5001", b"s3cret", 200),
                 (b"5002", b"s3cret", 488), (b"5002", b"", 200), (b"5003", b"", 200))
        for kind in (0, 1):
            sw = Switch("sip_authen_enable=1\nsip_authen_type=%d\ndb name = reg.db\n" % kind, prepare=password_rows)
            phone = Phone(sw)
            try:
                for number, password, want in cases:
                    with self.subTest(sip_authen_type=kind, number=number, password=password):
                        nonce = nonce_of(phone.register(number))
                        reply = phone.answer(number, nonce, digest(number, nonce, password), kind == 1)
                        self.assertEqual(status(reply), want)
            finally:
                phone.close()
                self.assertEqual(sw.close(), 0)


class Programs(unittest.TestCase):
    def test_service_and_conference_programs_take_slots_zero_and_one(self):
        sw = Switch("sip_authen_enable=1\n")
        phone = Phone(sw, "127.0.0.4")
        try:
            for info, number in (("service register", b"*"), ("conference register", b"#")):
                # Never challenged.
                rc, msgs = sw.sipp("register_program.xml", "prog", keys=(("info", info),))
                self.assertEqual(rc, 0)
                self.assertTrue(msgs[1][1].startswith(b"SIP/2.0 200 OK\r\n"))
                # The slot now answers to its number, which no phone can take over.
                self.assertEqual(status(phone.register(number)), 488)
        finally:
            phone.close()
            self.assertEqual(sw.close(), 0)


if __name__ == "__main__":
    main()

"""Supplementary services through the running switch, with plain UDP phones, the stand-ins of the
service and conference programs and a fixture database of user records: forced release,
listen-in and barge-in of a talk, forwarding (always, on busy, on no answer), calls to "*" and
"#" numbers, the joined datagrams and their resending, transfer by INFO code and by REFER,
redirect, pickup, the console switch, and a soak of service calls that must leave every leg and
call channel free."""
import re
import sqlite3
import time
import unittest

from call_parties import Phone, Sipp, Switch, first_line, header, received
from harness import main
from service_programs import Program

SDP_A = b"v=0\r\nc=IN IP4 127.0.0.1\r\nm=audio 4000 RTP/AVP 8\r\n"
SDP_B = b"v=0\r\nc=IN IP4 127.0.0.2\r\nm=audio 5000 RTP/AVP 8\r\n"
SDP_C = b"v=0\r\nc=IN IP4 127.0.0.3\r\nm=audio 6000 RTP/AVP 8\r\n"

# number: (level, zhuanjie, meet, daida, group, forward always, forward on busy, forward on no answer)
USERS = {
    b"801": (7, 1, 1, 0, 0, "", "", ""),
    b"802": (3, 1, 0, 0, 1, "", "", ""),
    b"803": (5, 0, 0, 0, 0, "", "", ""),
    b"804": (0, 0, 0, 0, 0, "", "", ""),
    b"805": (9, 0, 0, 1, 1, "", "", ""),
    b"806": (0, 0, 0, 0, 1, "", "", ""),
    b"807": (0, 0, 0, 0, 0, "803", "", ""),
    b"808": (0, 0, 0, 0, 0, "", "804", ""),
    b"810": (0, 0, 0, 0, 0, "", "", "803"),
}


def make_db(board):
    con = sqlite3.connect(board.path("svc.db"))
    con.execute('create table softswitch (tel text, status int, record_enable int, level int, zhuanjie int, '
                'meet int, daida int, "group" int, callswitch_tel text, busy_callswitch_tel text, '
                'no_answer_callswitch_tel text)')
    con.executemany("insert into softswitch values (?, 0, 0, ?, ?, ?, ?, ?, ?, ?, ?)",
                    [(t.decode(),) + v for t, v in USERS.items()])
    con.commit()
    con.close()


def body_media(message):
    """(address, port) of the SDP in a message."""
    ip = re.search(rb"c=IN IP4 (\S+)", message).group(1)
    port = int(re.search(rb"m=audio (\d+)", message).group(1))
    return ip, port


class ServiceSwitch(unittest.TestCase):
    """The switch with the fixture's users, each registered by a plain phone."""
    SETTINGS = "db name = svc.db\n"

    def setUp(self):
        self.sw = Switch(settings=self.SETTINGS, prepare=make_db)
        self.phones = {n: Phone(self.sw, n) for n in USERS}
        self.programs = []
        self.calls = 0

    def tearDown(self):
        for p in list(self.phones.values()) + self.programs:
            p.close()
        self.assertEqual(self.sw.close(), 0)

    def program(self, number):
        p = Program(self.sw, number)
        self.programs.append(p)
        return p

    def next_of(self, phone, start, timeout=5.0):
        """The next message of phone whose first line starts with start (others are skipped)."""
        end = time.time() + timeout
        while time.time() < end:
            m = phone.recv(max(0.01, end - time.time()))
            if m is not None and first_line(m).startswith(start):
                return m
        self.fail("%r got no %r" % (phone.number, start))

    def invite(self, caller, called, sdp=SDP_A, extra=b""):
        """caller's INVITE to called; its Call-ID."""
        self.calls += 1
        callid = b"svc-%d" % self.calls
        caller.send(caller.request(b"INVITE", callid, called, 1, sdp, extra))
        self.next_of(caller, b"SIP/2.0 100 Trying")
        return callid

    def talk(self, a, b, sdp_b=SDP_B):
        """a calls b and b answers: the Call-IDs of a's dialog and of b's, and b's INVITE."""
        callid = self.invite(self.phones[a], b)
        invite = self.next_of(self.phones[b], b"INVITE ")
        self.phones[b].reply(invite, b"200 OK", sdp_b)
        self.next_of(self.phones[b], b"ACK ")
        ok = self.next_of(self.phones[a], b"SIP/2.0 200 OK")
        self.phones[a].send(self.phones[a].request(b"ACK", callid, b, 1))
        return callid, header(invite, b"Call-ID")[len(b"Call-ID: "):], invite, ok

    def kind_of(self, invites):
        return {header(i, b"Kelvanor-Info") for i in invites}


class Services(ServiceSwitch):
    # Forced release, listen-in, barge-in.

    def test_forced_release_takes_over_the_talk_and_releases_the_partner(self):
        self.talk(b"801", b"802")
        c = self.phones[b"806"]
        self.invite(c, b"802", SDP_C, b"Priority: emergency\r\n")
        ok = self.next_of(c, b"SIP/2.0 200 OK")
        self.assertEqual(body_media(ok), (b"127.0.0.2", 5000), "answered at once with the called party's media")
        reinvite = self.next_of(self.phones[b"802"], b"INVITE ")
        self.assertEqual(body_media(reinvite), (b"127.0.0.3", 6000))
        self.next_of(self.phones[b"801"], b"BYE ")

    def test_listen_in_sends_one_datagram_resent_until_answered(self):
        service = self.program(b"*")
        self.talk(b"801", b"802")
        c = self.phones[b"804"]
        self.invite(c, b"802", SDP_C, b"Priority: listen_urgent\r\n")
        start = time.time()
        arrivals = service.datagrams_for(7.5)
        self.assertEqual(len(arrivals), 3, "sent, then resent at the second and sixth second")
        self.assertEqual(len({d for _, d in arrivals}), 1, "the whole datagram each time")
        offsets = [t - start for t, _ in arrivals]
        self.assertLess(offsets[0], 1.0)
        self.assertTrue(1.0 < offsets[1] - offsets[0] < 3.5 and 4.5 < offsets[2] - offsets[0] < 7.5, offsets)
        invites = arrivals[0][1][:-2].split(b"\r\n.\r\n")
        self.assertEqual(len(invites), 3)
        self.assertEqual(self.kind_of(invites), {b"Kelvanor-Info:Softswitch-Listen"})
        # The listener's leg first (toward 804's media), then the two talking parties.
        self.assertEqual(body_media(invites[0]), (b"127.0.0.3", 6000))
        self.assertEqual({body_media(i) for i in invites[1:]}, {(b"127.0.0.1", 4000), (b"127.0.0.2", 5000)})
        # The listener's leg goes through ringing and answer; the others only acknowledge.
        for i in invites:
            service.respond(i)
        ok = self.next_of(c, b"SIP/2.0 200 OK")
        self.assertEqual(body_media(ok), (b"127.0.0.9", 7000))
        acks = [service.recv() for _ in invites]
        self.assertEqual([first_line(a)[:4] for a in acks], [b"ACK "] * 3)
        self.assertIsNone(service.recv(2.5), "answered: nothing more is resent")

    def test_listen_in_without_the_service_program_is_an_ordinary_call(self):
        self.talk(b"801", b"802")
        self.invite(self.phones[b"804"], b"802", SDP_C, b"Priority: listen_urgent\r\n")
        self.next_of(self.phones[b"802"], b"INVITE ")

    def test_sipp_caller_with_a_priority(self):
        """A SIPp phone breaks into the talk of 801 and 802: by forced release it takes 802 over,
        by listen-in it hears both through the service program; either way it hangs up after."""
        service = self.program(b"*")
        a, b = self.phones[b"801"], self.phones[b"802"]
        for priority in ("emergency", "listen_urgent"):
            with self.subTest(priority=priority):
                self.talk(b"801", b"802")
                uac = Sipp(self.sw, "call_uac_priority.xml", "809",
                           [("calling", "809"), ("called", "802"), ("priority", priority)])
                if priority == "emergency":
                    self.next_of(a, b"BYE ")
                    reinvite = self.next_of(b, b"INVITE ")
                    self.assertEqual(body_media(reinvite), (b"127.0.0.1", 6000))
                    b.reply(reinvite, b"200 OK", SDP_B)
                    b.reply(self.next_of(b, b"BYE "), b"200 OK")
                    answer_media = (b"127.0.0.2", 5000)
                else:
                    invites = service.datagram()
                    for i in invites:
                        service.respond(i)
                    service.send(service.answer(self.next_of(service, b"BYE "), b"200 OK"))
                    answer_media = (b"127.0.0.9", 7000)
                rc, messages = uac.result()
                self.assertEqual(rc, 0, messages)
                ok = [m for m in received(messages) if first_line(m).startswith(b"SIP/2.0 200")][0]
                self.assertEqual(body_media(ok), answer_media)

    def test_barge_in_by_level(self):
        service = self.program(b"*")
        a, b = self.phones[b"801"], self.phones[b"802"]
        # 801 (level 7) talks with 802 (level 3): 804 (0) and 803 (5) are not above both, so
        # their calls go to 802 like any other; 805 (9) is, and the program gets the three.
        for caller, barges in ((b"804", False), (b"803", False), (b"805", True)):
            callid, b_callid, _, _ = self.talk(b"801", b"802")
            c = self.phones[caller]
            ccall = self.invite(c, b"802", SDP_C)
            if barges:
                invites = service.datagram()
                self.assertEqual(self.kind_of(invites), {b"Kelvanor-Info:Softswitch-Qiangcha"})
                self.assertEqual(len(invites), 3)
                break
            invite = self.next_of(b, b"INVITE ")
            b.reply(invite, b"486 Busy Here")
            self.next_of(c, b"SIP/2.0 486")
            c.send(c.request(b"ACK", ccall, b"802", 1))
            self.assertIsNone(service.recv(0.3))
            a.send(a.request(b"BYE", callid, b"802", 9))
            b.reply(self.next_of(b, b"BYE "), b"200 OK")

    def test_forwarding_by_the_user_records(self):
        # 807 forwards every call to 803.
        self.invite(self.phones[b"801"], b"807")
        self.assertTrue(first_line(self.next_of(self.phones[b"803"], b"INVITE ")).startswith(b"INVITE sip:803@"))
        # 808 forwards to 804 while it is in a call; free, it is called itself.
        self.invite(self.phones[b"801"], b"808")
        self.phones[b"808"].reply(self.next_of(self.phones[b"808"], b"INVITE "), b"180 Ringing")
        self.invite(self.phones[b"802"], b"808")
        self.assertTrue(first_line(self.next_of(self.phones[b"804"], b"INVITE ")).startswith(b"INVITE sip:804@"))

    # Calls to the programs' numbers.

    def test_star_and_hash_numbers_reach_the_programs(self):
        service, conference = self.program(b"*"), self.program(b"#")
        for number, prog in ((b"*123", service), (b"#55", conference)):
            self.invite(self.phones[b"804"], number)
            invite = prog.recv()
            self.assertTrue(first_line(invite).startswith(b"INVITE sip:%s@" % number), invite)
            self.assertNotIn(b"Kelvanor-Info", invite, "an ordinary INVITE")
            prog.respond(invite)
            self.next_of(self.phones[b"804"], b"SIP/2.0 200 OK")

    # Transfer and conference by INFO digits.

    def dial(self, phone, callid, to, code):
        """The characters of code, one INFO each, in phone's dialog callid."""
        for n, d in enumerate(code):
            phone.send(phone.request(b"INFO", callid, to, 10 + n, b"Signal=%s\r\nDuration=100\r\n" % bytes([d]),
                                     content_type=b"application/dtmf-relay"))

    def test_info_codes_hand_the_talk_to_the_programs(self):
        """(caller, called, whether the called party dials, code, program, kind): the leg of the
        caller's party first, each offering its own party's media."""
        cases = ((b"801", b"802", False, b"*200*", b"#", b"Meeting"),   # 801 may confer
                 (b"804", b"802", True, b"*1*100*", b"*", b"Zhuanjie"))  # 802 may transfer; a stray star restarts
        programs = {b"*": self.program(b"*"), b"#": self.program(b"#")}
        for caller, called, by_called, code, program, kind in cases:
            with self.subTest(code=code):
                callid, called_callid, _, _ = self.talk(caller, called)
                if by_called:
                    self.dial(self.phones[called], called_callid, caller, code)
                else:
                    self.dial(self.phones[caller], callid, called, code)
                invites = programs[program].datagram()
                self.assertEqual(self.kind_of(invites), {b"Kelvanor-Info:Softswitch-" + kind})
                self.assertEqual([body_media(i) for i in invites], [(b"127.0.0.1", 4000), (b"127.0.0.2", 5000)])

    def test_info_code_without_zhuanjie_is_relayed(self):
        service = self.program(b"*")
        _, callid, _, _ = self.talk(b"802", b"804")
        self.dial(self.phones[b"804"], callid, b"802", b"*100*")
        for d in b"*100*":
            self.assertIn(b"Signal=%s\r\n" % bytes([d]), self.next_of(self.phones[b"802"], b"INFO "))
        self.assertIsNone(service.recv(0.3))

    # REFER and redirect.

    def refer(self, phone, callid, to, refer_to):
        phone.send(phone.request(b"REFER", callid, to, 5, extra=b"Refer-To: " + refer_to + b"\r\n"))
        self.next_of(phone, b"SIP/2.0 202")

    def test_blind_transfer_by_refer(self):
        service = self.program(b"*")
        callid, _, _, _ = self.talk(b"801", b"804")   # 801 may transfer
        self.refer(self.phones[b"801"], callid, b"804", b"<sip:803@127.0.0.1>")
        invites = service.datagram()
        self.assertEqual(len(invites), 2)
        self.assertEqual(invites[0], invites[1], "the same INVITE twice")
        self.assertEqual(self.kind_of(invites), {b"Kelvanor-Info:Softswitch-Freetransfer"})
        self.assertTrue(first_line(invites[0]).startswith(b"INVITE sip:803@"))
        self.next_of(self.phones[b"801"], b"BYE ")

    def test_refer_without_zhuanjie_is_reported_failed_and_the_call_stays(self):
        service = self.program(b"*")
        callid, _, _, _ = self.talk(b"804", b"801")
        self.refer(self.phones[b"804"], callid, b"801", b"<sip:803@127.0.0.1>")
        notify = self.next_of(self.phones[b"804"], b"NOTIFY ")
        self.assertNotIn(b"200 OK", notify.split(b"\r\n\r\n", 1)[1])
        self.assertIsNone(service.recv(0.3))
        # The call is up: a BYE reaches the other party.
        self.phones[b"804"].send(self.phones[b"804"].request(b"BYE", callid, b"801", 6))
        self.next_of(self.phones[b"801"], b"BYE ")

    def test_attended_transfer_by_refer_with_replaces(self):
        service = self.program(b"*")
        a = self.phones[b"801"]
        # 801 (may transfer) talks with X, calls Z and hands X over to Z.
        for answered, xn, zn in ((True, b"804", b"802"), (False, b"806", b"803")):
            x, z = self.phones[xn], self.phones[zn]
            first, _, _, _ = self.talk(b"801", xn)
            cons = b"cons-%d@127.0.0.1" % answered
            a.send(a.request(b"INVITE", cons, zn, 1, SDP_A))
            invite = self.next_of(z, b"INVITE ")
            if answered:
                z.reply(invite, b"200 OK", SDP_C)
                self.next_of(a, b"SIP/2.0 200 OK")
                a.send(a.request(b"ACK", cons, zn, 1))
            else:
                z.reply(invite, b"180 Ringing")
            self.refer(a, first, xn, b"<sip:" + zn + b"@127.0.0.1?Replaces=cons-%d%%40127.0.0.1%%3Bto-tag%%3Dq"
                                         b"%%3Bfrom-tag%%3Dp>" % answered)
            # 801 leaves both calls.
            self.next_of(a, b"BYE ")
            self.next_of(a, b"BYE ")
            if answered:   # 804 and 802 talk to each other now
                self.assertEqual(body_media(self.next_of(x, b"INVITE ")), (b"127.0.0.3", 6000))
                self.assertEqual(body_media(self.next_of(z, b"INVITE ")), (b"127.0.0.2", 5000))
                self.assertIsNone(service.recv(0.3))
            else:          # 802 still rings: the service program joins them
                invites = service.datagram()
                self.assertEqual(self.kind_of(invites), {b"Kelvanor-Info:Softswitch-Transfer"})
                # X's leg offers its media; Z has sent none yet.
                self.assertEqual(body_media(invites[0]), (b"127.0.0.2", 5000))
                self.assertTrue(first_line(invites[1]).startswith(b"INVITE sip:803@"))

    def test_redirect(self):
        for called, target_rings in ((b"802", True), (b"804", False)):
            caller = self.phones[b"806"]
            callid = self.invite(caller, called)
            invite = self.next_of(self.phones[called], b"INVITE ")
            self.phones[called].send(self.phones[called].answer(invite, b"302 Moved Temporarily")[:-2] +
                                     b"Contact: <sip:803@127.0.0.1>\r\n\r\n")
            self.next_of(self.phones[called], b"ACK ")
            if target_rings:   # 802 may redirect: 803 is called instead, and its answer connects
                target = self.phones[b"803"]
                target.reply(self.next_of(target, b"INVITE "), b"200 OK", SDP_C)
                self.next_of(target, b"ACK ")
                self.assertEqual(body_media(self.next_of(caller, b"SIP/2.0 200 OK")), (b"127.0.0.3", 6000))
                self.assertTrue(self.phones[called].silent(0.5), "no CANCEL after the 302")
                caller.send(caller.request(b"ACK", callid, called, 1))
                caller.send(caller.request(b"BYE", callid, called, 2))
                target.reply(self.next_of(target, b"BYE "), b"200 OK")
            else:
                self.next_of(caller, b"SIP/2.0 488")
                self.assertIsNone(self.phones[b"803"].recv(0.3))

    # Pickup and console switch.

    def test_pickup_of_a_ringing_call_in_the_group(self):
        callid = self.invite(self.phones[b"801"], b"802")
        invite = self.next_of(self.phones[b"802"], b"INVITE ")
        self.phones[b"802"].reply(invite, b"180 Ringing")
        self.next_of(self.phones[b"801"], b"SIP/2.0 180")
        # 806 is in 802's group but may not pick up; 805 may.
        self.invite(self.phones[b"806"], b"*11802", SDP_C)
        self.next_of(self.phones[b"806"], b"SIP/2.0 488")
        self.invite(self.phones[b"805"], b"*11802", SDP_C)
        self.next_of(self.phones[b"802"], b"CANCEL ")
        ok = self.next_of(self.phones[b"805"], b"SIP/2.0 200 OK")
        self.assertEqual(body_media(ok), (b"127.0.0.1", 4000))
        ok = self.next_of(self.phones[b"801"], b"SIP/2.0 200 OK")
        self.assertEqual(body_media(ok), (b"127.0.0.3", 6000))
        self.assertEqual(callid, header(ok, b"Call-ID")[len(b"Call-ID: "):])

    def test_console_switch_links_the_far_ends(self):
        console = self.phones[b"806"]
        _, k1, _, _ = self.talk(b"801", b"806")
        _, k2, _, _ = self.talk(b"802", b"806", SDP_C)
        console.send(console.request(b"NOTIFY", b"console", b"806", 1,
                                     extra=b"Kelvanor-Info: setswitch\r\nKelvanor-Callid: " + k1 + b"," + k2 + b"\r\n"))
        self.next_of(console, b"SIP/2.0 200 OK")
        # The far ends are one call now: 801's BYE reaches 802, and the console hears nothing.
        self.phones[b"801"].send(self.phones[b"801"].request(b"BYE", b"svc-1", b"806", 2))
        self.next_of(self.phones[b"802"], b"BYE ")
        self.assertTrue(console.silent(0.5))

    # Soak.

    def settle(self, parties, seconds=0.6):
        """Every BYE and CANCEL the parties receive within seconds is answered 200."""
        end = time.time() + seconds
        while time.time() < end:
            for p in parties:
                m = p.recv(0.01)
                if m is not None and first_line(m).split(b" ")[0] in (b"BYE", b"CANCEL"):
                    p.send(p.answer(m, b"200 OK"))

    def test_service_calls_that_end_every_way_leave_the_tables_free(self):
        service = self.program(b"*")
        a, b, c = self.phones[b"801"], self.phones[b"802"], self.phones[b"804"]
        everyone = [a, b, c, service]
        for round_ in range(24):
            callid, b_callid, _, _ = self.talk(b"801", b"802")
            ccall = self.invite(c, b"802", SDP_C, b"Priority: listen_urgent\r\n")
            invites = service.datagram()
            way = round_ % 3
            if way == 0:      # the program refuses every leg: every party is released
                for i in invites:
                    service.respond(i, b"486 Busy Here", sdp=False)
                self.next_of(c, b"SIP/2.0 486")
                c.send(c.request(b"ACK", ccall, b"802", 1))
            else:
                if way == 1:  # answered, then the listener hangs up
                    for i in invites:
                        service.respond(i)
                    self.next_of(c, b"SIP/2.0 200 OK")
                    c.send(c.request(b"ACK", ccall, b"802", 1))
                    c.send(c.request(b"BYE", ccall, b"802", 2))
                else:         # the listener gives up before the program answers
                    c.send(c.request(b"CANCEL", ccall, b"802", 1))
                # Each talking party hangs up toward the program it is linked to now.
                a.send(a.request(b"BYE", callid, b"802", 9))
                b.send(b.request(b"BYE", b_callid, b"801", 9))
            self.settle(everyone)
        # Every leg and call channel came back: 250 calls, two of each per call, fit again.
        for n in range(250):
            callid = self.invite(a, b"802")
            invite = self.next_of(b, b"INVITE ")
            b.reply(invite, b"200 OK", SDP_B)
            self.next_of(a, b"SIP/2.0 200 OK")


class NoAnswer(ServiceSwitch):
    """A called party that rings past the no-answer time (one second here) is cancelled; the
    number its record forwards to on no answer, when it has one, is called in its place."""
    SETTINGS = ServiceSwitch.SETTINGS + "callctrl_pendtime=1\n"

    def test_ringing_past_the_no_answer_time(self):
        # Each row: the called number, and the number the call goes on to (None: the caller
        # is released).
        for called, target in ((b"810", b"803"), (b"802", None)):
            with self.subTest(called=called):
                caller, ringing = self.phones[b"804"], self.phones[called]
                callid = self.invite(caller, called)
                invite = self.next_of(ringing, b"INVITE ")
                ringing.reply(invite, b"180 Ringing")
                self.next_of(caller, b"SIP/2.0 180")
                cancel = self.next_of(ringing, b"CANCEL ", timeout=10)
                self.assertEqual(header(cancel, b"Call-ID"), header(invite, b"Call-ID"))
                ringing.reply(cancel, b"200 OK")
                ringing.reply(invite, b"487 Request Terminated")
                if target is None:
                    self.next_of(caller, b"SIP/2.0 488")
                    caller.send(caller.request(b"ACK", callid, called, 1))
                    self.assertIsNone(self.phones[b"803"].recv(0.3))
                    continue
                # The forward target's answer connects the caller, in the caller's own dialog.
                forwarded = self.phones[target]
                invite = self.next_of(forwarded, b"INVITE ")
                self.assertTrue(first_line(invite).startswith(b"INVITE sip:%s@" % target), invite)
                self.assertEqual(body_media(invite), (b"127.0.0.1", 4000))
                forwarded.reply(invite, b"200 OK", SDP_C)
                self.next_of(forwarded, b"ACK ")
                ok = self.next_of(caller, b"SIP/2.0 200 OK")
                self.assertEqual(header(ok, b"Call-ID"), b"Call-ID: " + callid)
                self.assertEqual(body_media(ok), (b"127.0.0.3", 6000))
                caller.send(caller.request(b"ACK", callid, called, 1))
                caller.send(caller.request(b"BYE", callid, called, 2))
                forwarded.reply(self.next_of(forwarded, b"BYE "), b"200 OK")
                self.next_of(caller, b"SIP/2.0 200 OK")


if __name__ == "__main__":
    main()

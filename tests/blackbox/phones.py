"""Real SIP phones for black-box tests: linphone-cli, one linphonec daemon per phone driven by
linphonecsh. linphonecsh finds its daemon by a socket named after the user id, so each phone
runs as a user id of its own (claimed from the launcher's namespace), with a scratch home."""
import hashlib
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import harness
from harness import free_port, wait_for

CALL_ROW = re.compile(rb"^(\d+)\s*\|[^|]*\|\s*(\w+)", re.M)


def ha1(user, realm, password):
    """What linphone answers a digest challenge with: MD5 of "user:realm:password" in hex."""
    return hashlib.md5(("%s:%s:%s" % (user, realm, password)).encode()).hexdigest()


def available():
    """Why phones cannot run here, or None."""
    if shutil.which("linphonecsh") is None:
        return "linphone-cli is not installed"
    if not harness.uid_mapped(20000):
        return "the launcher's namespace maps no user id but root (run as root)"
    return None


def give_network():
    """linphone counts a network whose only address is the loopback as down, and then stops
    listening and drops its registration: the script's namespace gets a default route."""
    subprocess.run(["ip", "route", "replace", "default", "dev", "eth0"], check=True)


class Linphone:
    """One phone registered with the switch sw as number; password, when given, is answered
    to the switch's digest challenge (as ha1 for the switch's realm, its local host)."""

    def __init__(self, sw, number, password=None, realm="127.0.0.1"):
        self.sw = sw
        self.number = number
        self.uid = harness.claim_uid()
        if self.uid is None:
            raise RuntimeError("no user id to run a phone as")
        self.home = tempfile.mkdtemp(prefix="linphone-%s-" % number)
        os.makedirs(os.path.join(self.home, ".local", "share", "linphone"))
        self.sip_port = free_port()
        self.rtp_port = free_port()
        auth = ""
        if password is not None:
            auth = ("[auth_info_0]\nusername=%s\nuserid=%s\nrealm=%s\nha1=%s\nalgorithm=MD5\n"
                    % (number, number, realm, ha1(number, realm, password)))
        with open(os.path.join(self.home, "rc"), "w") as f:
            # max_calls=1 (of [misc]): a phone in a call answers a second one 486. A call's media stays up
            # without a sound card; only the database directory must exist for the core to start.
            # The media socket is bound to the loopback address the SDP names: left on the
            # wildcard, it sends to a board address from that address, and a peer that takes
            # media only from the address offered drops it.
            f.write("[sip]\nsip_port=%d\nsip_tcp_port=-1\nsip_tls_port=-1\nuse_ipv6=0\n"
                    "guess_hostname=0\ncontact=sip:%s@127.0.0.1\nregister_only_when_network_is_up=0\n"
                    "default_proxy=0\ninc_timeout=60\n"
                    "[rtp]\nbind_address=127.0.0.1\naudio_rtp_port=%d\nvideo_rtp_port=0\ntext_rtp_port=0\n"
                    "[misc]\nmax_calls=1\n[video]\nenabled=0\ncapture=0\ndisplay=0\n"
                    "[proxy_0]\nreg_proxy=<sip:127.0.0.1:%d>\nreg_identity=sip:%s@127.0.0.1\n"
                    "reg_sendregister=1\nreg_expires=3600\n%s"
                    % (self.sip_port, number, self.rtp_port, sw.port, number, auth))
        for dirpath, dirs, files in os.walk(self.home):
            for name in [dirpath] + [os.path.join(dirpath, x) for x in files]:
                os.chown(name, self.uid, self.uid)
        self.sh("init", "-c", os.path.join(self.home, "rc"), "-d", "6", "-l", os.path.join(self.home, "log"))
        if not wait_for(self.registered, timeout=10, step=0.1):
            raise RuntimeError("phone %s did not register: %s" % (number, self.sh("status", "register")))

    def sh(self, *args, timeout=10):
        """linphonecsh args, as the phone's user: its output."""
        r = subprocess.run(["setpriv", "--reuid", str(self.uid), "--regid", str(self.uid), "--clear-groups",
                            "linphonecsh", *args], cwd=self.home, env=dict(os.environ, HOME=self.home),
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
        return r.stdout

    def generic(self, command):
        return self.sh("generic", command)

    def registered(self):
        return self.sh("status", "register").startswith(b"registered,")

    def calls(self):
        """The phone's calls as {id: state}."""
        return {int(m.group(1)): m.group(2).decode() for m in CALL_ROW.finditer(self.generic("calls"))}

    def state(self):
        """The state of the phone's one call, or None when it has none."""
        calls = self.calls()
        return next(iter(calls.values())) if calls else None

    def wait_state(self, want, timeout=10.0):
        """True once the phone's call is in state want (None: no call)."""
        return wait_for(lambda: self.state() == want, timeout=timeout, step=0.1) or self.state() == want

    def dial(self, other):
        return self.sh("dial", "sip:%s@127.0.0.1:%d" % (other.number, self.sw.port))

    def answer(self):
        return self.generic("answer")

    def hang_up(self):
        return self.generic("terminate")

    def pause(self):
        return self.generic("pause")

    def resume(self):
        return self.generic("resume")

    def tone_file(self, seconds=30):
        """A WAV file in the phone's home, 8 kHz 16-bit mono, of a loud 1 kHz tone: what the phone
        sends when told to play it in a call (it has no sound card to hear a voice from)."""
        import math
        import struct
        import wave
        path = os.path.join(self.home, "tone.wav")
        if not os.path.exists(path):
            one = b"".join(struct.pack("<h", int(16000 * math.sin(2 * math.pi * i / 8))) for i in range(8))
            with wave.open(path, "wb") as w:
                w.setnchannels(1)
                w.setsampwidth(2)
                w.setframerate(8000)
                w.writeframes(one * (1000 * seconds))
            os.chown(path, self.uid, self.uid)
        return path

    def log(self):
        """The phone's own log: every SIP message it sent and received, among the rest."""
        with open(os.path.join(self.home, "log"), "rb") as f:
            return f.read()

    def _daemons(self):
        pids = []
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open("/proc/%s/status" % pid) as f:
                    status = f.read()
            except OSError:
                continue
            uid = re.search(r"^Uid:\s+(\d+)", status, re.M)
            if uid and int(uid.group(1)) == self.uid and re.search(r"^Name:\s+linphonec$", status, re.M):
                pids.append(int(pid))
        return pids

    def close(self):
        try:
            self.sh("exit")
        except subprocess.TimeoutExpired:
            pass
        # The phone's daemon runs as the phone's own claimed user: any left is this phone's.
        if not wait_for(lambda: not self._daemons(), timeout=5):
            for pid in self._daemons():
                os.kill(pid, 9)
        if os.environ.get("KEEP_BOARD") == "1":
            print("phone %s kept at %s" % (self.number, self.home))
        else:
            shutil.rmtree(self.home, ignore_errors=True)
        harness.release_uid(self.uid)


def switch_with_phones(settings="", password=None, prepare=None, numbers=("801", "802", "803")):
    """For a test class's set-up: skips the class where phones cannot run; else the switch
    (harness.Switch with sip_debug 1) and one registered Linphone per number. When anything
    cannot start, what already started is closed before the error goes on."""
    why = available()
    if why:
        raise unittest.SkipTest(why)
    give_network()
    sw = harness.Switch(settings, debug=1, prepare=prepare)
    out = []
    try:
        for number in numbers:
            out.append(Linphone(sw, number, password))
    except Exception:
        close_phones(out)
        sw.close()
        raise
    return sw, out


def close_phones(phones):
    for p in phones:
        p.close()

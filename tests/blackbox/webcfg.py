"""A stand-in for the web configuration program: it edits radiogate's database and works the
shared segment the way that program does (lock word, change flags), and reads back the line
status records and version texts radiogate publishes there. Standard library only."""
import contextlib
import ctypes
import sqlite3

KEY = 5063
SIZE = 2212

# The segment layout, byte offsets.
LOCK = 0
FLAGS = {"TBIni": 4, "TBTime": 8, "TBSerialCfg": 12, "TBDialMap": 16, "TBChannelSwitch": 20}
USER = 24        # 9 flags, one per line
USER_COR = 60    # 9 flags
RESET_CHN = 96   # 9 flags, never touched by radiogate
LINE_STATUS = 132
LINE_SIZE = 160
VERSION = 1572
VERSION_TEXTS = ["program", "driver", "cpld", "libsip", "libbase"]  # 128 bytes each

LOCK_FREE, LOCK_WEB, LOCK_GATEWAY = 0, 1, 2

_IPC_CREAT = 0o1000
_IPC_EXCL = 0o2000
_IPC_RMID = 0

_libc = ctypes.CDLL(None, use_errno=True)
_libc.shmget.argtypes = [ctypes.c_int, ctypes.c_size_t, ctypes.c_int]
_libc.shmget.restype = ctypes.c_int
_libc.shmat.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
_libc.shmat.restype = ctypes.c_void_p
_libc.shmdt.argtypes = [ctypes.c_void_p]
_libc.shmdt.restype = ctypes.c_int
_libc.shmctl.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_void_p]
_libc.shmctl.restype = ctypes.c_int


def segment_exists(key=KEY):
    return _libc.shmget(key, 0, 0o777) >= 0


class Segment:
    """The shared segment as the web program sees it. create=True makes it (of size bytes)
    when it does not exist yet."""

    def __init__(self, create=False, size=SIZE, key=KEY):
        flags = 0o777 | (_IPC_CREAT if create else 0)
        self.id = _libc.shmget(key, size if create else 0, flags)
        if self.id < 0:
            raise OSError(ctypes.get_errno(), "shmget")
        addr = _libc.shmat(self.id, None, 0)
        if addr is None or addr == ctypes.c_void_p(-1).value:
            raise OSError(ctypes.get_errno(), "shmat")
        self.addr = addr

    def int(self, off):
        return ctypes.c_int32.from_address(self.addr + off).value

    def set_int(self, off, value):
        ctypes.c_int32.from_address(self.addr + off).value = value

    def text(self, off, size):
        return ctypes.string_at(self.addr + off, size).split(b"\0", 1)[0]

    # The lock word: the web program holds it while it changes the database and the flags.
    def lock_word(self):
        return self.int(LOCK)

    def lock(self):
        self.set_int(LOCK, LOCK_WEB)

    def unlock(self):
        self.set_int(LOCK, LOCK_FREE)

    @contextlib.contextmanager
    def locked(self):
        self.lock()
        try:
            yield self
        finally:
            self.unlock()

    def _flag_off(self, name, line):
        if name == "User":
            return USER + 4 * line
        if name == "UserCor":
            return USER_COR + 4 * line
        return FLAGS[name]

    def raise_flag(self, name, line=None):
        self.set_int(self._flag_off(name, line), 1)

    def flag(self, name, line=None):
        return self.int(self._flag_off(name, line))

    def line_status(self, line):
        base = LINE_STATUS + LINE_SIZE * line
        return {
            "status_line": self.int(base + 0),
            "status_call": self.int(base + 4),
            "chn_res": self.int(base + 8),
            "chn_sip": self.int(base + 12),
            "chn_register": self.int(base + 16),
            "remote_ip": self.text(base + 20, 24), "remote_port": self.int(base + 44),
            "local_ip": self.text(base + 48, 24), "local_port": self.int(base + 72),
            "rtp_len": self.int(base + 76),
            "caller_hangup": self.int(base + 80),
            "code_type": self.text(base + 84, 8),
            "caller_id": self.text(base + 92, 64),
            "register_result": self.int(base + 156),
        }

    def versions(self):
        return {name: self.text(VERSION + 128 * i, 128) for i, name in enumerate(VERSION_TEXTS)}

    def detach(self):
        if self.addr is not None:
            _libc.shmdt(self.addr)
            self.addr = None

    def remove(self):
        self.detach()
        _libc.shmctl(self.id, _IPC_RMID, None)


class ConfigDb:
    """The web program's side of the configuration database."""

    def __init__(self, path):
        self.path = path

    def run(self, sql, params=()):
        con = sqlite3.connect(self.path)
        try:
            con.execute(sql, params)
            con.commit()
        finally:
            con.close()

    def set_ini(self, name, value, table="TB_INI"):
        self.run("UPDATE %s SET M_VALUE=? WHERE M_NAME=?" % table, (str(value), name))

    def delete_ini(self, name, table="TB_INI"):
        self.run("DELETE FROM %s WHERE M_NAME=?" % table, (name,))

    def ini(self, name, table="TB_INI"):
        con = sqlite3.connect(self.path)
        try:
            row = con.execute("SELECT M_VALUE FROM %s WHERE M_NAME=?" % table, (name,)).fetchone()
        finally:
            con.close()
        return row[0] if row else None

    def set_user(self, line, table="TB_USER", **columns):
        sets = ", ".join("%s=?" % c for c in columns)
        self.run("UPDATE %s SET %s WHERE USER_CHN=?" % (table, sets), (*columns.values(), line))

    def add_user(self, row, table="TB_USER"):
        names = list(row)
        self.run("INSERT INTO %s (%s) VALUES (%s)" % (table, ", ".join(names), ", ".join("?" * len(names))),
                 [row[n] for n in names])

    def delete_user(self, line, table="TB_USER"):
        self.run("DELETE FROM %s WHERE USER_CHN=?" % table, (line,))

    @contextlib.contextmanager
    def busy(self):
        """Holds the database's write lock, as the web program does in the middle of a save."""
        con = sqlite3.connect(self.path, isolation_level=None)
        con.execute("BEGIN EXCLUSIVE")
        try:
            yield con
        finally:
            con.execute("ROLLBACK")
            con.close()

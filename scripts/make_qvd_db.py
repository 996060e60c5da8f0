#!/usr/bin/env python3
"""Makes radiogate's configuration database: the six tables the web configuration program
edits, filled with working values for a scratch board.

    make_qvd_db.py PATH [--lines N] [--force]

An existing file is kept unless --force is given. Tests import make_db() and pass their own
values; a value of None leaves that row (or column value) out.
"""
import argparse
import os
import sqlite3
import sys

INI = {
    "VLAN_FLAG": 0, "VLAN_SIGNAL": 0, "VLAN_VOICE": 0,
    "VLAN_SIGNAL_IP": "", "VLAN_SIGNAL_NETMASK": "", "VLAN_VOICE_IP": "", "VLAN_VOICE_NETMASK": "",
    "SYS_COMP_MODE": 0, "AC_MODE": 0, "FLAG_EC": 1, "FLAG_AGC": 0, "FLAG_SC": 0,
    "MODE_TIME_SYNC": 2, "SYNC_TIME_EXPIRES": 3600, "ADDR_NTP_SERVER": "pool.ntp.org",
    "IP_LOCAL": "192.168.1.100", "GATEWAY_LOCAL": "192.168.1.1", "NETMASK_LOCAL": "255.255.255.0",
    "GET_IP_MODE": 0, "MASTER_SLAVE_MODE": 1,
    "IP_SWITCH_0": "127.0.0.1", "IP_SWITCH_1": "", "IP_SWITCH_2": "", "IP_SWITCH_3": "",
    "PORT_SWITCH_0": 5060, "PORT_SWITCH_1": 5060, "PORT_SWITCH_2": 5060, "PORT_SWITCH_3": 5060,
    "LOCAL_SIP_PORT": 5062, "SYS_REG_MODE": 1,
    "GW_REG_TEL": "", "GW_REG_NAME": "", "GW_REG_PWD": "", "GW_REG_EXPIRES": 3600,
    "RTP_PORT_MAX": 20100, "RTP_PORT_MIN": 20000, "HW_FREQENCE_SIN": 0, "HW_BIAS_VALUE": 0,
    "LOG_LEVEL": 8, "LOG_SERVER_IP": "", "LOG_SERVER_PORT": 0, "LOG_PORT_LOCAL": 0,
    "DEBUG_IP_DSP": "", "DEBUG_PORT_DSP": 0, "FLAG_SHARP_SUBMIT": 1, "NO_RTP_DEAL": 1,
    "FLAG_COMFORT_NOISE": 0, "COMFORT_NOISE_PAYLOAD": 13, "COMFORT_NOISE_EXPIRES": 0,
    "FLAG_AWAKE": 0, "CHANNEL_SWITCH": 0, "REQUEST_MODE": 2, "REQUEST_PRO": "*1", "RELEASE_PRO": "*2",
    "RELEASE_TIME": 3, "VOX_SENSITIVITY": 5, "REQUEST_MSG_TYPE": 1, "T_PTT_HOT_TIME": 3000,
    "DAY_TIME": 1, "RESTART_FLAG": 0, "RPORT": 1, "FLAG_RESET_IP": 0,
}

KEY_AND_TIME = {
    "T_KEY_INTERVAL": 5, "T_NO_RTP": 30, "T_NO_ANSWER": 60, "T_PTT_DIAL_TONE": 2,
    "T_PTT_GET_DTMF": 10, "T_RING_BACK_INVALU": 3, "T_RING_BACK_VALU": 1, "T_BUSY_TONE": 3,
}

SERIAL_CFG = {
    "COM1_BAUD": 9600, "COM1_PARITY": 0, "COM1_DATA_BITS": 8, "COM1_STOP_BITS": 1, "COM1_DATA_CONTROL": 0,
    "COM2_BAUD": 9600, "COM2_PARITY": 0, "COM2_DATA_BITS": 8, "COM2_STOP_BITS": 1, "COM2_DATA_CONTROL": 0,
}

# (column, SQL type) of the keyed tables, in their order.
USER_COLUMNS = [
    ("USER_CHN", "INTEGER"), ("USER_TEL", "TEXT"), ("REG_NAME", "TEXT"), ("REG_PWD", "TEXT"),
    ("REG_EXPIRES", "INTEGER"), ("HOTL_TEL", "TEXT"), ("SERVICE_ADDRIBUTE", "INTEGER"),
    ("RTP_INTERVAL", "INTEGER"), ("CODE_FIRST", "TEXT"), ("CODE_SECOND", "TEXT"),
    ("DTMF_PAYLOAD", "INTEGER"), ("DTMF_TYPE", "TEXT"), ("DSP_GAIN_INPUT", "INTEGER"),
    ("DSP_GAIN_OUTPUT", "INTEGER"), ("CODEC_GAIN_INPUT", "INTEGER"), ("CODEC_GAIN_OUTPUT", "INTEGER"),
    ("REDIAL_4XX", "INTEGER"), ("REDIAL_BYE", "INTEGER"), ("REDIAL_INTERVAL", "INTEGER"),
    ("REDIAL_ONNEWCALL", "INTEGER"), ("K_OFF_HOOK", "TEXT"), ("K_CON_DIAL", "TEXT"), ("K_HANG_UP", "TEXT"),
    ("K_HOT_LINE", "TEXT"), ("K_REDIAL", "TEXT"), ("K_ENABLE", "INTEGER"), ("FLG_PTT_HTL", "INTEGER"),
]
USER_COR_COLUMNS = [
    ("USER_CHN", "INTEGER"), ("PSTN_COR_PARITY", "INTEGER"), ("PSTN_COR_INHIBIT_TIME", "INTEGER"),
    ("PSTN_VOX_HANG_TIME", "INTEGER"), ("PSTN_VOICE_FLAG", "INTEGER"), ("NET_COR_RTP_SEND", "INTEGER"),
    ("NET_COR_TYPE", "INTEGER"), ("NET_VOX_HANG_TIME", "INTEGER"), ("NET_VOX_SENSITIVITY", "INTEGER"),
    ("NET_VOX_PRE_VOICE_BUF", "INTEGER"), ("NET_PTT_TIMEOUT", "INTEGER"), ("NET_SAMPLE_COR_TIME", "INTEGER"),
]
DIAL_MAP_COLUMNS = [("KEY_ID", "INTEGER"), ("DIAL_RULE", "TEXT")]


def user_row(line):
    """The TB_USER values of one line: number 8001 + line, registering with its own number."""
    tel = str(8001 + line)
    return {
        "USER_CHN": line, "USER_TEL": tel, "REG_NAME": tel, "REG_PWD": "pw" + tel, "REG_EXPIRES": 60,
        "HOTL_TEL": "", "SERVICE_ADDRIBUTE": 1, "RTP_INTERVAL": 20, "CODE_FIRST": "G711A",
        "CODE_SECOND": "G711U", "DTMF_PAYLOAD": 101, "DTMF_TYPE": "RFC2833", "DSP_GAIN_INPUT": 0,
        "DSP_GAIN_OUTPUT": 0, "CODEC_GAIN_INPUT": 4, "CODEC_GAIN_OUTPUT": 4, "REDIAL_4XX": 0,
        "REDIAL_BYE": 0, "REDIAL_INTERVAL": 5, "REDIAL_ONNEWCALL": 0, "K_OFF_HOOK": "*0",
        "K_CON_DIAL": "*9", "K_HANG_UP": "##", "K_HOT_LINE": "*8", "K_REDIAL": "*7", "K_ENABLE": 1,
        "FLG_PTT_HTL": 0,
    }


def user_cor_row(line):
    return {
        "USER_CHN": line, "PSTN_COR_PARITY": 0, "PSTN_COR_INHIBIT_TIME": 500, "PSTN_VOX_HANG_TIME": 1000,
        "PSTN_VOICE_FLAG": 0, "NET_COR_RTP_SEND": 1, "NET_COR_TYPE": 1, "NET_VOX_HANG_TIME": 1000,
        "NET_VOX_SENSITIVITY": 5, "NET_VOX_PRE_VOICE_BUF": 200, "NET_PTT_TIMEOUT": 60,
        "NET_SAMPLE_COR_TIME": 500,
    }


DIAL_MAP = {1: "8xxx", 2: "9xxxxxxx", 3: "1[3-9]xxxxxxxxx"}


def _name_value_table(con, table, values):
    con.execute("CREATE TABLE %s (M_NAME TEXT PRIMARY KEY, M_VALUE TEXT)" % table)
    for name, value in values.items():
        if value is not None:
            con.execute("INSERT INTO %s (M_NAME, M_VALUE) VALUES (?, ?)" % table, (name, str(value)))


def _keyed_table(con, table, columns, rows):
    con.execute("CREATE TABLE %s (%s)" % (table, ", ".join("%s %s" % c for c in columns)))
    for row in rows:
        names = [c for c, _ in columns if row.get(c) is not None]
        con.execute("INSERT INTO %s (%s) VALUES (%s)" % (table, ", ".join(names), ", ".join("?" * len(names))),
                    [row[c] for c in names])


def make_db(path, lines=2, ini=None, key_and_time=None, serial=None, users=None, user_cors=None, dial_map=None):
    """Writes a fresh database at path. ini, key_and_time and serial update the default
    values; users and user_cors are lists of row dicts (default: lines 0 .. lines-1), and
    dial_map maps KEY_ID to rule."""
    if os.path.exists(path):
        os.remove(path)
    con = sqlite3.connect(path)
    _name_value_table(con, "TB_INI", dict(INI, **(ini or {})))
    _name_value_table(con, "TB_KEY_AND_TIME", dict(KEY_AND_TIME, **(key_and_time or {})))
    _name_value_table(con, "TB_SERIAL_CFG", dict(SERIAL_CFG, **(serial or {})))
    _keyed_table(con, "TB_USER", USER_COLUMNS, users if users is not None else [user_row(i) for i in range(lines)])
    _keyed_table(con, "TB_USER_COR", USER_COR_COLUMNS,
                 user_cors if user_cors is not None else [user_cor_row(i) for i in range(lines)])
    rules = DIAL_MAP if dial_map is None else dial_map
    _keyed_table(con, "TB_DIAL_MAP", DIAL_MAP_COLUMNS, [{"KEY_ID": k, "DIAL_RULE": v} for k, v in rules.items()])
    con.commit()
    con.close()
    return path


def main(argv):
    ap = argparse.ArgumentParser(description="Makes radiogate's configuration database.")
    ap.add_argument("path")
    ap.add_argument("--lines", type=int, default=2)
    ap.add_argument("--force", action="store_true")
    args = ap.parse_args(argv)
    if os.path.exists(args.path) and not args.force:
        return 0
    os.makedirs(os.path.dirname(os.path.abspath(args.path)), exist_ok=True)
    make_db(args.path, lines=args.lines)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

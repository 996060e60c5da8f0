#!/usr/bin/env bash
# Lays out a board root with working default settings (sipswitch's settings file, radiogate's
# configuration database) and harmless stand-ins for the commands the programs hand to the
# shell. Existing settings are kept. ./run.sh and the tests lay out every board with this.
set -euo pipefail
root=$1
mkdir -p "$root"/{root/switch,root/log,root/profile,tmp/log,var/www,var,bin,sbin,dev}
for cmd in reboot ifconfig killall ntpclient date; do
  cat >"$root/bin/$cmd" <<STANDIN
#!/bin/sh
echo "$cmd \$*" >> "\$BOARD_ROOT/var/standin.log"
exit 0
STANDIN
  chmod +x "$root/bin/$cmd"
done
cp "$root/bin/reboot" "$root/sbin/reboot"
# A plain file at the board device's path: the programs then talk to the simulated board.
# Its lines, if any, are the board's start-up inputs (set commands); they are kept.
[ -e "$root/dev/AG0" ] || : >"$root/dev/AG0"
python3 "$(dirname "$0")/make_firmware.py" --keep "$root/root/profile"  # synthetic DSP firmware
ini="$root/root/switch/sip_server.ini"
if [ ! -f "$ini" ]; then
  cat >"$ini" <<'INI'
// sipswitch settings for a scratch board
sip_server_local_host = 127.0.0.1
sip_server_inter_host = 127.0.0.1
sip_server_local_port = 5060
sip_debug = 1
sip_authen_enable = 0
callctrl_pendtime = 60
sip_pend_time = 80
INI
fi
db="$root/var/www/QVD.db"
[ -f "$db" ] || python3 "$(dirname "$0")/make_qvd_db.py" "$db"

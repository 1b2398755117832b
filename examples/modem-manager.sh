#!/bin/sh
# firmware-utility radio driver adapter: keeps ModemManager off the module while an update runs.
#
# Profile:  RIL1: = exec:/path/to/modem-manager.sh [UNIT]
# The tool appends the control code. suspend stops the systemd unit UNIT (default
# ModemManager.service), so that it lets go of the module's ports; resume starts it again.
# reset is not done here: give the profile a [radio] reset pulse, or use gpio-reset.sh.
# Exit status: 0 done; 22 a control this script does not know; 95 reset (not supported here);
# otherwise systemctl's status.
set -u
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: modem-manager.sh [UNIT] CONTROL" >&2
    exit 22
fi
unit=ModemManager.service
[ $# -eq 2 ] && unit=$1
eval "code=\${$#}"
case "$code" in
    0x03001F80) exec systemctl stop "$unit" ;;
    0x03001F84) exec systemctl start "$unit" ;;
    0x03001F88) echo "modem-manager.sh: no reset here; add a [radio] reset entry" >&2; exit 95 ;;
    *) echo "modem-manager.sh: unknown control $code" >&2; exit 22 ;;
esac

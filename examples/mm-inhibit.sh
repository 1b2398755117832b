#!/bin/sh
# firmware-utility radio driver adapter: ModemManager lets go of this one module while an update
# runs, through its own interface, and keeps every other modem.
#
# Profile:  RIL1: = exec:/path/to/mm-inhibit.sh PORT     (with a [radio] reset pulse: the
#           reset is not done here)
# PORT is the module's serial port (/dev/ttyUSB0, or its /dev/serial/by-id/ name). The tool
# appends the control code. suspend finds the modem ModemManager made of PORT and starts
# `mmcli --inhibit-device=UID` in the background: ModemManager leaves the device alone for as
# long as that mmcli runs. resume ends that mmcli, and ModemManager takes the module again. A
# port ModemManager has no modem on needs no inhibition: suspend and resume succeed.
# Exit status: 0 done; 22 bad arguments or a control this script does not know; 95 reset (not
# supported here); 1 ModemManager did not inhibit the device (mmcli's last line says why).
set -u
if [ $# -ne 2 ]; then
    echo "usage: mm-inhibit.sh PORT CONTROL" >&2
    exit 22
fi
port=$1
code=$2
node=$(basename "$(readlink -f "$port")")
# The running inhibition's process id, per user and port, in a directory only this user can write.
state_dir=${TMPDIR:-/tmp}/fwu-mm-inhibit-$(id -u)
state=$state_dir/$node.pid
mkdir -p -m 0700 "$state_dir" || exit 1

# The device UID of the modem that has NODE among its ports; empty when there is none.
device_of() {
    for modem in $(mmcli -L -K 2>/dev/null | sed -n 's/^modem-list\.value\[[0-9]*\] *: *//p'); do
        info=$(mmcli -m "$modem" -K 2>/dev/null) || continue
        if printf '%s\n' "$info" | grep -q "^modem\.generic\.ports\.value\[[0-9]*\] *: *$1 "; then
            printf '%s\n' "$info" | sed -n 's/^modem\.generic\.device *: *//p'
            return
        fi
    done
}

# Ends the inhibition this script started for NODE, and waits (at most 5 s) until it has ended.
end_inhibition() {
    [ -f "$state" ] || return 0
    pid=$(cat "$state")
    rm -f "$state"
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = mmcli ] || return 0  # gone already
    kill "$pid" 2>/dev/null
    tries=0
    while kill -0 "$pid" 2>/dev/null && [ $tries -lt 50 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
}

case "$code" in
    0x03001F80)
        end_inhibition
        uid=$(device_of "$node")
        if [ -z "$uid" ]; then
            echo "mm-inhibit.sh: ModemManager has no modem on $node; nothing to inhibit"
            exit 0
        fi
        # Its own session: the inhibition outlives this script and the tool's bound on it.
        setsid mmcli --inhibit-device="$uid" </dev/null >"$state_dir/$node.out" 2>&1 &
        echo $! > "$state"
        # mmcli refusing (no permission, unknown device) ends at once; inhibiting, it stays.
        sleep 1
        if ! kill -0 "$(cat "$state")" 2>/dev/null; then
            rm -f "$state"
            echo "mm-inhibit.sh: ModemManager did not inhibit $uid: $(tail -n 1 "$state_dir/$node.out")" >&2
            exit 1
        fi
        echo "mm-inhibit.sh: ModemManager inhibits $uid ($node) until resume"
        ;;
    0x03001F84) end_inhibition ;;
    0x03001F88) echo "mm-inhibit.sh: no reset here; add a [radio] reset entry" >&2; exit 95 ;;
    *) echo "mm-inhibit.sh: unknown control $code" >&2; exit 22 ;;
esac
exit 0

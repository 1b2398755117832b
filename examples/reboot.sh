#!/bin/sh
# firmware-utility kernel adapter: the handset's reboot request, after a completed update,
# as a reboot of this machine.
#
# Profile:  [kernel]
#           KernelIoControl = exec:/path/to/reboot.sh [--dry-run]
# The tool appends the control code. The reboot request runs `systemctl reboot`; with
# --dry-run it only says so (for a jig whose host must keep running). Any other code: 22.
set -u
if [ $# -lt 1 ] || [ $# -gt 2 ] || { [ $# -eq 2 ] && [ "$1" != --dry-run ]; }; then
    echo "usage: reboot.sh [--dry-run] CONTROL" >&2
    exit 22
fi
eval "code=\${$#}"
if [ "$code" != 0x0101003C ]; then
    echo "reboot.sh: unknown control $code" >&2
    exit 22
fi
if [ $# -eq 2 ]; then
    echo "reboot.sh: would reboot now (--dry-run)"
    exit 0
fi
exec systemctl reboot

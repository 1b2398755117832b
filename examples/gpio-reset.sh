#!/bin/sh
# firmware-utility radio driver adapter: resets the module through a GPIO line wired to its
# reset input, with libgpiod's gpioset (Debian: gpiod; version 1, as in Debian 12, or version 2,
# as in Debian 13 and Ubuntu 24.04, which has no --mode: told apart by `gpioset --version`).
#
# Profile:  RIL1: = exec:/path/to/gpio-reset.sh CHIP LINE [MILLISECONDS [low|high]]
# The tool appends the control code. reset drives LINE of CHIP (gpiochip0, or its label) to the
# active level for MILLISECONDS (default 100), then back: "low" (the default) means the
# module's reset is active low (line 0, then 1); "high" the reverse. suspend and resume have
# nothing to do on such a board and succeed.
# Exit status: 0 done; 22 bad arguments or an unknown control; otherwise gpioset's status.
set -u
if [ $# -lt 3 ] || [ $# -gt 5 ]; then
    echo "usage: gpio-reset.sh CHIP LINE [MILLISECONDS [low|high]] CONTROL" >&2
    exit 22
fi
chip=$1; line=$2; ms=100; active=0
[ $# -ge 4 ] && ms=$3
if [ $# -eq 5 ]; then
    case "$4" in low) active=0 ;; high) active=1 ;; *) echo "gpio-reset.sh: polarity must be low or high: $4" >&2; exit 22 ;; esac
fi
case "$ms" in ''|*[!0-9]*) echo "gpio-reset.sh: milliseconds must be a number: $ms" >&2; exit 22 ;; esac
case "$line" in ''|*[!0-9]*) echo "gpio-reset.sh: line must be a number: $line" >&2; exit 22 ;; esac
eval "code=\${$#}"
case "$code" in
    0x03001F80|0x03001F84) exit 0 ;;
    0x03001F88)
        case "$(gpioset --version 2>/dev/null | head -n 1)" in
            *v1.*)
                gpioset --mode=time --usec=$((ms * 1000)) "$chip" "$line=$active" || exit $?
                exec gpioset "$chip" "$line=$((1 - active))" ;;
            *)  # version 2: hold the active level, toggle once after the time, then exit
                exec gpioset -c "$chip" -t "${ms}ms,0" "$line=$active" ;;
        esac ;;
    *) echo "gpio-reset.sh: unknown control $code" >&2; exit 22 ;;
esac

#!/bin/sh
# The camera's mode script: lumenflip runs it with "on" at nightfall and
# "off" at daybreak. This camera has no IR cut filter or LEDs to drive, so
# it says on the console what it would switch, and keeps the mode in
# /var/run/nightmode.
state=/var/run/nightmode
# Holding "on" or "off", this file makes that switch fail once, as a
# colour switch that does not answer would.
fault=/var/run/nightmode.fault

say() {
	echo "$*" >/dev/console
}

case "$1" in
	on)
		say "IR cut filter out"
		say "IR LEDs on"
		mode=night
		;;
	off)
		say "IR cut filter in"
		say "IR LEDs off"
		mode=day
		;;
	*)
		echo "usage: $0 on|off" >&2
		exit 2
		;;
esac
echo "$mode" >"$state"
echo "nightmode.sh: $mode"
if [ -f "$fault" ] && [ "$(cat "$fault")" = "$1" ]; then
	rm -f "$fault"
	say "colour switch: no answer"
	exit 1
fi
exit 0

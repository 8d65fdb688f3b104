#!/bin/sh
# The demo's stand-in for the camera's mode script: lumenflip runs it with
# "on" at nightfall and "off" at daybreak, and it says what a camera
# would do instead of driving its GPIOs.
case "$1" in
  on)
    echo "    [camera] IR cut filter out: infrared reaches the sensor"
    echo "    [camera] IR LEDs on"
    echo "    [camera] colour off: black and white picture"
    ;;
  off)
    echo "    [camera] IR cut filter in: true colours"
    echo "    [camera] IR LEDs off"
    echo "    [camera] colour on"
    ;;
  *)
    echo "usage: $0 on|off" >&2
    exit 2
    ;;
esac

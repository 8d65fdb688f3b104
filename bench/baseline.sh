#!/bin/sh
# The light-sensor job written the way a camera owner would script it in
# plain POSIX shell: the benchmark's point of comparison for lumenflip.
#
#   baseline.sh [-c CMD] [-D DEVICE] [-a N] [-d SEC] [-n N] [-O LEVEL] [-F LEVEL] [-N SAMPLES]
#
# Same options and defaults as the daemon's light-sensor method. Each
# conversion is 4 bytes of the ADC device read with dd and decoded with od;
# a sample is the mean of -a conversions, the window holds the last -n
# samples, and the window's mean at or below -O switches to night ("CMD on"),
# at or above -F back to day ("CMD off"). Shell arithmetic is integer only:
# samples are truncated and the levels are taken as whole numbers. -N ends
# it after that many samples, for the benchmark's instruction counts.

cmd=/system/sdcard/scripts/nightmode.sh
device=/dev/jz_adc_aux_0
reads=25
delay=10
size=5
night_level=40
day_level=45
limit=0

while getopts c:D:a:d:n:O:F:N: option; do
  case $option in
    c) cmd=$OPTARG ;;
    D) device=$OPTARG ;;
    a) reads=$OPTARG ;;
    d) delay=$OPTARG ;;
    n) size=$OPTARG ;;
    O) night_level=${OPTARG%%.*} ;;
    F) day_level=${OPTARG%%.*} ;;
    N) limit=$OPTARG ;;
    *) exit 1 ;;
  esac
done

night=0
window=
samples=0

while :; do
  sum=0
  i=0
  while [ "$i" -lt "$reads" ]; do
    value=$(dd if="$device" bs=4 count=1 2>/dev/null | od -An -tu4)
    [ -n "$value" ] || break
    sum=$((sum + value))
    i=$((i + 1))
  done

  if [ "$i" -lt "$reads" ]; then
    echo "ERROR: cannot read $device" >&2
  else
    # The window: the last $size samples, oldest first.
    set -- $window $((sum / reads))
    [ "$#" -gt "$size" ] && shift
    window=$*
    samples=$((samples + 1))

    if [ "$samples" -ge "$size" ]; then
      total=0
      for sample in $window; do
        total=$((total + sample))
      done
      # mean <= level  <=>  total <= level * size
      if [ "$night" -eq 1 ] && [ "$total" -ge $((day_level * size)) ]; then
        night=0
        $cmd off
      elif [ "$night" -eq 0 ] && [ "$total" -le $((night_level * size)) ]; then
        night=1
        $cmd on
      fi
    fi
  fi
  [ "$samples" != "$limit" ] || exit 0
  sleep "$delay"
done

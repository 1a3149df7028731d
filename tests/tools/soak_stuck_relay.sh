#!/bin/sh
# A welded charging relay as the robot leaves: the tester must report the monitor's
# violation with its transcript. Passing here means the tester and the monitor can
# still see a fault no daemon can mend.
# usage: soak_stuck_relay.sh STATION_SOAK BIN_DIR
out=$("$1" --hazards stuck --directed 1 --visits 1 --min-coverage 0 --seed 1 --bin "$2")
status=$?
printf '%s\n' "$out"
[ "$status" -eq 1 ] || { echo "station_soak ended with status $status, not 1"; exit 1; }
for want in 'visit 1 (hazard stuck): ' 'sim: fault stuck charging on' \
  'safety:   [0-9.]* s  [0-9:.]*  robot_absent_output  actuators: charging'; do
  printf '%s\n' "$out" | grep -q -- "$want" || { echo "missing: $want"; exit 1; }
done

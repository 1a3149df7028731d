#!/bin/sh
# station_bench --quick completes and prints a row for every figure; the figures
# themselves are not judged here (a loaded machine says nothing about them).
# usage: bench_smoke.sh STATION_BENCH BIN_DIR
out=$("$1" --quick --bin "$2")
status=$?
printf '%s\n' "$out"
[ "$status" -le 1 ] || { echo "station_bench ended with status $status"; exit 1; }
for id in 1a 1b 1c 2 3 4 5 6a 6b 6c; do
  printf '%s\n' "$out" | grep -q "^| $id | " || { echo "no row for figure $id"; exit 1; }
done

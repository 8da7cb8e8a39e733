#!/bin/sh
# usage: run_fuzz.sh BUILD_DIR [SECONDS]
# Fuzzes every kernel build for SECONDS each (20 by default), from the
# committed seeds, and prints how many inputs each one ran. An input on which
# a kernel leaves its order is saved as crash-* in the current folder: keep it
# in tests/fuzz_regressions, where the normal tests replay it.
build=${1:?usage: run_fuzz.sh BUILD_DIR [SECONDS]} seconds=${2:-20}
case $seconds in
  '' | *[!0-9]* | 0) echo "run_fuzz.sh: SECONDS must be a whole number above 0, not '$seconds'" >&2
                     exit 2 ;;
esac
set -- "$build"/fuzz_*
if [ ! -x "$1" ]; then
  echo "run_fuzz.sh: no fuzz targets in $build; build them with" >&2
  echo "  cmake -S . -B $build -DCMAKE_CXX_COMPILER=clang++ -DSUMBENCH_FUZZ=ON &&" \
       "cmake --build $build -j2 --target fuzz_targets" >&2
  exit 2
fi
seeds=$(dirname "$0")/fuzz_corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
status=0
for fuzzer; do
  corpus=$work/$(basename "$fuzzer")
  mkdir "$corpus"
  if "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 "$corpus" "$seeds" 2>"$corpus.log"; then
    echo "$(basename "$fuzzer"): $(grep -o 'number_of_executed_units: [0-9]*' "$corpus.log" | cut -d' ' -f2) inputs, no disagreement"
  else
    echo "$(basename "$fuzzer"): FAILED"; grep -E "offset|ERROR|crash-" "$corpus.log"; status=1
  fi
done
exit $status

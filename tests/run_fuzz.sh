#!/bin/sh
# usage: run_fuzz.sh BUILD_DIR SECONDS
# Fuzzes every kernel build for SECONDS each, from the committed seeds, and
# prints how many inputs each one ran. An input on which a kernel leaves its
# order is saved as crash-* in the current folder: keep it in
# tests/fuzz_regressions, where the normal tests replay it.
build=$1 seconds=$2
seeds=$(dirname "$0")/fuzz_corpus
status=0
for fuzzer in "$build"/fuzz_*; do
  corpus=$(mktemp -d)
  if "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 "$corpus" "$seeds" 2>"$corpus.log"; then
    echo "$(basename "$fuzzer"): $(grep -o 'number_of_executed_units: [0-9]*' "$corpus.log" | cut -d' ' -f2) inputs, no disagreement"
  else
    echo "$(basename "$fuzzer"): FAILED"; grep -E "offset|ERROR|crash-" "$corpus.log"; status=1
  fi
  rm -rf "$corpus" "$corpus.log"
done
exit $status

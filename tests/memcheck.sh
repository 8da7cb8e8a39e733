#!/bin/sh
# usage: memcheck.sh VALGRIND PROGRAM...
# Runs every program under memcheck at sizes that take each path of every
# kernel: n = 17 and 37 give rows of every misalignment to the vector build,
# with scalar rows and all three remainders between them. The matrix is a heap
# block of exactly 4*n*n bytes, so a read one element past it is an error. The
# driver never frees its two blocks, by design, so leaks are not looked for.
valgrind=$1
shift
if ! command -v "$valgrind" >/dev/null 2>&1; then
  echo "valgrind not found: tools/install-deps installs it"; exit 77
fi
status=0
for program; do
  for n in 0 1 6 17 37 64; do
    if ! "$valgrind" -q --error-exitcode=99 --leak-check=no "$program" $n 2 >/dev/null; then
      echo "memcheck: $(basename "$program") $n 2 failed"; status=1
    fi
  done
done
exit $status

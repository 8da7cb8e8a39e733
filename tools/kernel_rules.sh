#!/bin/sh
# usage: kernel_rules.sh NM NAME OBJECT
# A kernel module links with the driver and nothing else, and keeps nothing
# between calls: it defines exactly one global symbol, kernel, needs no symbol
# from outside, and holds no writable data. Prints each broken rule with the
# symbols that break it, and fails.
nm=$1 name=$2 object=$3
defined=$("$nm" -g --defined-only "$object" | awk '{print $NF}')
undefined=$("$nm" -u "$object" | awk '{print $NF}')
state=$("$nm" --defined-only "$object" | awk '$2 ~ /^[bBdDgGsS]$/ {print $NF}')
status=0
broken() {
  echo "kernel $name breaks a kernel rule: $1: $(echo $2)"
  status=1
}
[ "$defined" = kernel ] || broken "its only global symbol must be kernel, it defines" "$defined"
[ -z "$undefined" ] || broken "it may need nothing from outside (no library call), it needs" \
  "$undefined"
[ -z "$state" ] || broken "it may keep no state (no global or static variable), it holds" "$state"
exit $status

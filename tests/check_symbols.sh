#!/bin/sh
# usage: check_symbols.sh NM OBJECT
# A kernel module links with the driver and nothing else: it defines exactly
# one global symbol, kernel, and needs none from outside.
nm=$1 object=$2
defined=$("$nm" -g --defined-only "$object" | awk '{print $NF}')
undefined=$("$nm" -u "$object" | awk '{print $NF}')
status=0
if [ "$defined" != kernel ]; then
  echo "$object: global symbols are [$(echo $defined)], expected [kernel]"; status=1
fi
if [ -n "$undefined" ]; then
  echo "$object: undefined symbols [$(echo $undefined)], expected none"; status=1
fi
exit $status

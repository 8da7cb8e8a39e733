#!/bin/sh
# usage: check_machine_code.sh OBJDUMP FILECHECK PREFIX MODULE FILE CHECKFILE [SYMBOL...]
# Disassembles FILE (only the SYMBOLs, demangled and in this order, when given) and runs the
# FileCheck patterns of CHECKFILE over it, with the prefixes CHECK and PREFIX
# (the compiler's, for the few lines where GCC and clang allocate differently).
objdump=$1 filecheck=$2 prefix=$3 module=$4 file=$5 checkfile=$6
shift 6
if [ ! -x "$filecheck" ]; then
  echo "FileCheck not found: tools/install-deps installs it (Debian: llvm-14-tools)"; exit 77
fi
disassemble() {
  if [ $# -eq 0 ]; then
    "$objdump" -d -C --no-show-raw-insn "$file"
  else
    for symbol; do "$objdump" -d -C --no-show-raw-insn --disassemble="$symbol" "$file"; done
  fi
}
if ! disassemble "$@" | "$filecheck" --allow-unused-prefixes --check-prefixes=CHECK,"$prefix" \
    --dump-input=never "$checkfile"; then
  echo "machine code of $module breaks $(basename "$checkfile"): see the pattern named above"
  exit 1
fi

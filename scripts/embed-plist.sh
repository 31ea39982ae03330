#!/bin/sh
# Turns the property list into an object file whose only content is a
# section named .info_plist, so that the linker places it in the executable
# and `objcopy -O binary --only-section=.info_plist` reads it back.
# Usage: embed-plist.sh PLIST OUTPUT.o OBJCOPY CXX
set -eu
plist=$1 out=$2 objcopy=${3:-objcopy} cxx=${4:-c++}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# An empty object for the target architecture, then the file as a section.
printf '' > "$tmp/empty.c"
"$cxx" -x c -c "$tmp/empty.c" -o "$tmp/empty.o"
"$objcopy" --add-section .info_plist="$plist" \
  --set-section-flags .info_plist=contents,alloc,load,readonly,data \
  "$tmp/empty.o" "$out"

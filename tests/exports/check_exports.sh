#!/usr/bin/env bash
# The dynamic symbols a library defines are exactly its interface.
#
#   check_exports.sh NM LIBRARY PREFIX REQUIRED...
#
# Fails when a defined dynamic symbol (demangled) does not begin with PREFIX, or when one of the
# REQUIRED names is not among them.
set -euo pipefail
nm_tool=$1 library=$2 prefix=$3
shift 3

symbols=$("$nm_tool" -D --defined-only -C "$library" | sed -E 's/^[0-9a-fA-F]+ [A-Za-z] //')
status=0
foreign=$(grep -v -E "^(typeinfo for |typeinfo name for |vtable for )?$prefix" <<<"$symbols" || true)
if [ -n "$foreign" ]; then
    echo "$library exports symbols outside $prefix:"
    head -20 <<<"$foreign"
    status=1
fi
for name in "$@"; do
    if ! grep -q -F -e "$name" <<<"$symbols"; then
        echo "$library does not export $name"
        status=1
    fi
done
[ "$status" -eq 0 ] && echo "$(wc -l <<<"$symbols") symbols, all under $prefix"
exit "$status"

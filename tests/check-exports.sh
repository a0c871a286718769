#!/bin/sh
# The library's dynamic symbol table holds the contact_* API and nothing else.
set -eu
library=$1
symbols=$(nm -D --defined-only "$library" | awk '{ print $3 }')
others=$(printf '%s\n' "$symbols" | grep -v '^contact_' || true)
if [ -n "$others" ]; then
    echo "exported beyond contact_*:"
    echo "$others"
    exit 1
fi
count=$(printf '%s\n' "$symbols" | grep -c '^contact_')
echo "exports: $count contact_* functions and nothing else"
[ "$count" -ge 30 ]

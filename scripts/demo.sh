#!/bin/sh
# Compiles the shipped example and shows what the compiler produced.
set -eu
qxl=$1
out=$(dirname "$qxl")/hello.b
echo "== $qxl -p -o $out examples/hello.q"
"$qxl" -p -o "$out" examples/hello.q
echo
echo "== $out ($(wc -c <"$out") bytes):"
od -A d -t x1 "$out"

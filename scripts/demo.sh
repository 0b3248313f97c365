#!/bin/sh
# Compiles the shipped example, examples/hello.q, into the build directory
# and shows what came out: a short summary of the bytecode file and the
# disassembler's listing of it (its head when the listing is long).
#
# Usage: sh scripts/demo.sh BUILD/qxl
# The disassembler is BUILD/tools/qxldis; when it has not been built yet
# and BUILD is a configured build directory, it is built first.
# DEMO_LINES sets how many listing lines are shown (default 200).
set -eu

if [ $# -ne 1 ]; then
    echo "usage: sh scripts/demo.sh path/to/qxl" >&2
    exit 2
fi

# Work from the top of the tree, with absolute paths for the build.
if ! build=$(cd "$(dirname "$1")" 2>/dev/null && pwd); then
    echo "demo: no build directory $(dirname "$1") (build qxl first)" >&2
    exit 1
fi
qxl=$build/$(basename "$1")
cd "$(dirname "$0")/.."

src=examples/hello.q
out=$build/hello.b
lst=$build/hello.lst
dis=$build/tools/qxldis
max=${DEMO_LINES:-200}

if [ ! -x "$qxl" ]; then
    echo "demo: no compiler at $qxl (build it first)" >&2
    exit 1
fi

echo "== $qxl -o $out $src"
"$qxl" -o "$out" "$src"
echo

if [ ! -x "$dis" ] && [ -f "$build/CMakeCache.txt" ]; then
    echo "== building the disassembler"
    cmake --build "$build" --target qxldis >/dev/null
    echo
fi

bytes=$(wc -c <"$out" | tr -d ' ')
lines=$(wc -l <"$src" | tr -d ' ')
echo "== $src: $lines lines of QXL became $out: $bytes bytes"

if [ ! -x "$dis" ]; then
    # No disassembler: show the raw bytes instead.
    echo "(no disassembler at $dis; raw bytes follow)"
    od -A d -t x1 "$out" | head -n "$max"
    exit 0
fi

"$dis" "$out" >"$lst"

# One count per kind of record, from the record lines ("@OFFSET kind ...").
awk '
/^@[0-9]+ command /              { commands++ }
/^@[0-9]+ function /             { functions++ }
/^@[0-9]+ initialized variable -loaded-qxl-file-/ { id++; next }
/^@[0-9]+ (initialized )?variable / { globals++ }
/^@[0-9]+ buffer variable /      { buffers++ }
/^@[0-9]+ window variable /      { windows++ }
/^@[0-9]+ key table /            { tables++ }
/^@[0-9]+ key binding/           { bindings++ }
/^@[0-9]+ color class /          { classes++ }
/^@[0-9]+ color scheme /         { schemes++ }
/^@[0-9]+ color assignment/      { colors++ }
/^  string pool size: /          { pool = $4 }
/^  debug data size: /           { debug = $4 }
/^@[0-9]+ string pool: /         { strings = 0; in_pool = 1; next }
/^@[0-9]+ debug data: /          { in_pool = 0 }
in_pool && /^ +[0-9]+: /         { strings++ }
END {
    printf "   %d commands, %d other functions\n", commands, functions
    printf "   %d global variables, %d buffer-specific, %d window-specific", \
        globals, buffers, windows
    printf "%s\n", id ? ", and the id variable" : ""
    printf "   %d key tables with %d key bindings\n", tables, bindings
    printf "   %d color classes, %d color schemes, %d color assignments\n", \
        classes, schemes, colors
    printf "   string pool: %d bytes in %d strings; debug data: %d bytes\n", \
        pool, strings, debug
}' "$lst"
echo

total=$(wc -l <"$lst" | tr -d ' ')
if [ "$total" -le "$max" ]; then
    echo "== $dis $out"
    cat "$lst"
else
    echo "== $dis $out (first $max of $total lines; all of it is in $lst)"
    head -n "$max" "$lst"
    echo "..."
fi

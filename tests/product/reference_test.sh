#!/bin/sh
# The committed reference of the built-in names (docs/builtin-names.md and
# .json) must be what qxlnames prints from the compiler's tables now.
#
#   sh reference_test.sh SOURCE_DIR QXLNAMES
set -u
src=$1
qxlnames=$2
status=0
for form in json md; do
    option=--json
    [ "$form" = md ] && option=--markdown
    committed=$src/docs/builtin-names.$form
    if ! "$qxlnames" $option | cmp -s - "$committed"; then
        echo "FAIL: $committed differs from 'qxlnames $option':"
        "$qxlnames" $option | diff "$committed" - | head -n 20
        echo "Regenerate with: qxlnames $option >$committed"
        status=1
    fi
done

# What the reference says of the telling rows of the tables.
"$qxlnames" --json | python3 -c '
import json, sys
doc = json.load(sys.stdin)
prims = {p["name"]: p for p in doc["primitives"]}
var = {v["name"]: v for v in doc["variables"]}
bad = 0
def want(what, got, expected):
    global bad
    if got != expected:
        print("FAIL: %s is %r, not %r" % (what, got, expected))
        bad = 1
want("the primitive count", len(doc["primitives"]), 366)
want("the variable count", len(doc["variables"]), 137)
for name, number, text, lo, hi, variadic in [
        ("setjmp", 95, "short setjmp(jmp_buf *)", 3, 3, False),
        ("sprintf", 97, "short sprintf(char *, char *, ...)", -1, -1, True),
        ("wait_for_key", 110, "void wait_for_key()", 0, 0, False),
        ("in_macro", 119, "short in_macro([int])", 0, 1, False),
        ("parse_string", 130, "int parse_string(int, char *[, char *])", 4, 7, False),
        ("index_table", 142, "short *index_table(int)", 1, 1, False),
        ("add_region", 227, "int add_region(spot, spot, int, int[, int])", 4, 5, False),
        ("memcpy", 560, "void memcpy(void *, void *, int)", 7, 7, False),
        ("select_printer", 648, "short select_printer(PRINT_OPTIONS *)", 3, 3, False),
        ("key_value", 715, "int key_value(char *[, char **])", 3, 6, False)]:
    p = prims[name]
    want(name + " number", p["number"], number)
    want(name + " signature", p["c_signature"], text)
    want(name + " words", (p["min_words"], p["max_words"]), (lo, hi))
    want(name + " variadic", p["variadic"], variadic)
for name, number, text, scope, typ in [
        ("argv", 14, "char *argv[50]", "global", "array of 50 pointer to character"),
        ("state_file", 27, "char state_file[256]", "global", "array of 256 character"),
        ("top_level", 86, "jmp_buf *top_level", "global", None),
        ("point", 1098, "int point", "buffer", "integer"),
        ("window_height", 2130, "short window_height", "window", "short")]:
    v = var[name]
    want(name + " number", v["number"], number)
    want(name + " declaration", v["c_declaration"], text)
    want(name + " scope", v["scope"], scope)
    if typ:
        want(name + " type", v["type"], typ)
want("reserved words", len(doc["keywords"]), 36)
want("directives", doc["directives"][-1], "tryinclude")
sys.exit(bad)
' || status=1

exit "$status"

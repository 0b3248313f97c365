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
        status=1
    fi
done
[ "$status" -ne 0 ] && echo "Regenerate with: qxlnames --json >docs/builtin-names.json; qxlnames --markdown >docs/builtin-names.md"
exit "$status"

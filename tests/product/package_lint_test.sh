#!/bin/sh
# Runs lintian on the package built by package_build_test.sh: it must
# report no error.  Its warnings and notes are shown for the record.
#
#   sh package_lint_test.sh OUTPUT
set -u
command -v lintian >/dev/null 2>&1 || { echo "FAIL: lintian is not installed"; exit 1; }
report=$(mktemp) || exit 1
lintian --fail-on error --display-info "$1"/*.deb >"$report" 2>&1
status=$?
grep -v 'running with root privileges' "$report"
rm -f "$report"
[ "$status" -eq 0 ] || echo "FAIL: lintian reported errors (status $status)"
exit "$status"

# Shared by the product tests: a scratch directory per run and checks that
# count failures and name what went wrong.  Each test script sources this,
# runs its checks and ends with `finish`.

failures=0
scratch=$(mktemp -d "${TMPDIR:-/tmp}/qxl-product.XXXXXX") || exit 1
trap 'chmod -R u+w "$scratch" 2>/dev/null; rm -rf "$scratch"' EXIT

# project_version SOURCE_DIR: the version text the compiler carries.
project_version() {
    sed -n 's/.*version_text = "\([0-9.]*\)".*/\1/p' "$1/driver/search_paths.h"
}

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# run NAME COMMAND...: runs the command, keeping its status in $status and
# its standard output and error in $scratch/NAME.out and NAME.err.
run() {
    name=$1; shift
    "$@" >"$scratch/$name.out" 2>"$scratch/$name.err"
    status=$?
}

# expect_status NAME WANTED
expect_status() {
    if [ "$status" -ne "$2" ]; then
        fail "$1: exit status $status, wanted $2"
        sed 's/^/  | /' "$scratch/$1.out" "$scratch/$1.err"
    fi
}

# expect_text NAME FILE-SUFFIX TEXT: the output (out or err) holds TEXT.
expect_text() {
    grep -F -q -- "$3" "$scratch/$1.$2" || {
        fail "$1: no '$3' in standard $( [ "$2" = out ] && echo output || echo error )"
        sed 's/^/  | /' "$scratch/$1.$2"
    }
}

expect_file() { [ -f "$1" ] || fail "missing file $1"; }
expect_dir() { [ -d "$1" ] || fail "missing directory $1"; }
expect_absent() { [ ! -e "$1" ] && [ ! -L "$1" ] || fail "$1 should not exist"; }

# tree DIR: every path below DIR with its kind and, for files, checksum.
tree() {
    (cd "$1" && find . -mindepth 1 | LC_ALL=C sort | while IFS= read -r p; do
        if [ -L "$p" ]; then echo "l $p -> $(readlink "$p")"
        elif [ -d "$p" ]; then echo "d $p"
        else echo "f $p $(cksum <"$p" | cut -d' ' -f1,2) $(stat -c %a "$p")"
        fi
    done)
}

finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed"
        exit 1
    fi
    echo "all checks passed"
    exit 0
}

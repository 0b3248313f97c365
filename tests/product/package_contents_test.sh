#!/bin/sh
# Checks the Debian package built by package_build_test.sh: its name and
# metadata, that its Depends are the packages of the libraries its programs
# link, its size, its files, and that its compiler, run from the unpacked
# tree, finds headers in the package's include directory and compiles as
# the build's own compiler does.
#
#   sh package_contents_test.sh SOURCE_DIR OUTPUT QXL
set -u
src=$1
out=$2
qxl=$3
. "$src/tests/product/lib.sh"

version=$(project_version "$src")
arch=$(dpkg --print-architecture)
product=usr/lib/quillet$version
set -- "$out"/*.deb
[ $# -eq 1 ] && [ -f "$1" ] || { fail "expected one package in $out, found: $*"; finish; }
deb=$1
case $(basename "$deb") in
    qxl_"$version"-[0-9]*_"$arch".deb) ;;
    *) fail "package name $(basename "$deb") is not qxl_$version-N_$arch.deb" ;;
esac

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = qxl ] || fail "Package is '$(field Package)'"
case $(field Version) in "$version"-[0-9]*) ;; *) fail "Version is '$(field Version)'" ;; esac
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
field Maintainer | grep -q '^[^<]* <[^@>]*@[^>]*>$' || fail "Maintainer '$(field Maintainer)' is not NAME <ADDRESS>"
[ -n "$(field Description)" ] || fail "no Description"
size=$(field Installed-Size)
[ "$size" -le 10240 ] || fail "Installed-Size is $size KiB, more than 10 MiB"

tree=$scratch/unpacked
dpkg -x "$deb" "$tree" || fail "dpkg -x failed"

# Depends: exactly the packages that hold the libraries the programs need.
wanted=
for binary in "$tree/$product"/bin/*; do
    for library in $(readelf -d "$binary" | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p'); do
        path=$(ldconfig -p | awk -v l="$library" '$1 == l { print $NF; exit }')
        [ -n "$path" ] || { fail "$binary needs $library, which is not installed"; continue; }
        real=$(readlink -f "$path")
        owner=$(dpkg -S "$real" 2>/dev/null || dpkg -S "$path" 2>/dev/null)
        owner=$(echo "$owner" | head -n 1 | cut -d: -f1)
        [ -n "$owner" ] || { fail "no package holds $library"; continue; }
        wanted="$wanted $owner"
    done
done
depends=$(field Depends | tr ',' '\n' | sed 's/(.*//; s/ //g' | sort -u)
wanted=$(echo $wanted | tr ' ' '\n' | sort -u)
[ "$depends" = "$wanted" ] || fail "Depends names '$(echo $depends)', the programs link libraries of '$(echo $wanted)'"

# The files.
for program in qxl qxldis qxlrun qxl-lsp; do
    [ -x "$tree/$product/bin/$program" ] || fail "$program is not in /$product/bin"
    [ "$(readlink "$tree/usr/bin/$program")" = "../lib/quillet$version/bin/$program" ] ||
        fail "/usr/bin/$program is not a link into the product directory"
    gzip -t "$tree/usr/share/man/man1/$program.1.gz" 2>/dev/null ||
        fail "no compressed manual page for $program"
    # One copy of the Unicode data, the system's: a program carrying its
    # own copy would be tens of megabytes.
    bytes=$(stat -c %s "$tree/$product/bin/$program")
    [ "$bytes" -lt 5000000 ] || fail "$program is $bytes bytes: it carries the Unicode data"
    if readelf -rW "$tree/$product/bin/$program" | grep -q 'R_X86_64_COPY.*icudt'; then
        fail "$program copies the Unicode data into itself at start-up"
    fi
done
expect_dir "$tree/$product/include"
expect_file "$tree/$product/include/qxltest.h"
expect_file "$tree/usr/share/doc/qxl/copyright"
gzip -t "$tree/usr/share/doc/qxl/changelog.Debian.gz" 2>/dev/null || fail "no changelog.Debian.gz"
expect_file "$tree/usr/share/doc/qxl/guide.md"
expect_file "$tree/usr/share/doc/qxl/builtin-names.json"
expect_file "$tree/usr/share/qxl/editors/vim/syntax/qxl.vim"
expect_file "$tree/usr/share/qxl/editors/neovim/lua/qxl-lsp.lua"
expect_file "$tree/usr/share/qxl/editors/emacs/qxl-eglot.el"

# The unpacked compiler, through its link, searches the package's include
# directory and compiles as the build's compiler does (Unicode names too).
work=$scratch/work
mkdir -p "$work/home" "$work/ref"
printf '#define PACKAGED 7\n' >"$tree/$product/include/packaged.h"
cat >"$work/probe.q" <<'Q'
#include <packaged.h>
int value = PACKAGED;
int named['\x[LATIN SMALL LETTER E WITH ACUTE]'];
Q
cp "$work/probe.q" "$work/ref/probe.q"
in_work() { env -u QLTPATH -u QLTCUSTDIR HOME="$work/home" sh -c 'cd "$1" && shift && "$@"' sh "$@"; }
run verbose in_work "$work" "$tree/usr/bin/qxl" -n -v probe.q
expect_status verbose 0
expect_text verbose out "$tree/$product/include/"
run reference in_work "$work/ref" "$qxl" -n -i "$tree/$product/include" probe.q
expect_status reference 0
cmp -s "$work/probe.b" "$work/ref/probe.b" || fail "the package's qxl wrote other bytes than the build's"

# The package's programs are laid out by a profile of the compiler's runs
# and optimised across modules: on generated sources of every kind the
# benchmark has, and on sources with errors, its compiler still writes the
# build's bytes, messages and statuses, with and without debug information.
gen=$work/generated
mkdir -p "$gen"
python3 "$src/bench/generate.py" --lines 6000 --seed 21 -q -o "$gen/full.q" &&
python3 "$src/bench/generate.py" --lines 6000 --seed 22 -q --common -o "$gen/common.q" ||
    fail "bench/generate.py could not write the sources"
sed 's/return/retrun/' "$gen/common.q" >"$gen/broken.q"
# compile_with QXL NAME SOURCE OPTIONS: NAME.b and NAME.out (messages and
# status) of QXL's compile of SOURCE in $gen.
compile_with() {
    # shellcheck disable=SC2086
    (cd "$gen" && "$1" -n $4 -o "$gen/$2.b" "$3" >"$gen/$2.out" 2>&1
     echo "status $?" >>"$gen/$2.out")
}
for source in full common broken; do
    for options in "" "-s -b"; do
        compile_with "$tree/usr/bin/qxl" p "$source.q" "$options"
        compile_with "$qxl" r "$source.q" "$options"
        cmp -s "$gen/p.out" "$gen/r.out" ||
            fail "$source.q [$options]: the package's qxl said other things than the build's"
        if [ -f "$gen/r.b" ] || [ -f "$gen/p.b" ]; then
            cmp -s "$gen/p.b" "$gen/r.b" ||
                fail "$source.q [$options]: the package's qxl wrote other bytes than the build's"
        fi
        rm -f "$gen/p.b" "$gen/r.b"
    done
done
grep -q "status 1" "$gen/r.out" || fail "broken.q compiled without an error"

# The runner finds the compiler beside it for a source file.
printf 'int main() { return 3; }\n' >"$work/three.q"
run runner in_work "$work" "$tree/usr/bin/qxlrun" three.q
expect_status runner 3

# The packaged language server starts, answers and stops cleanly.
frame() { printf 'Content-Length: %d\r\n\r\n%s' "${#1}" "$1"; }
{
    frame '{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"capabilities":{}}}'
    frame '{"jsonrpc":"2.0","id":2,"method":"shutdown"}'
    frame '{"jsonrpc":"2.0","method":"exit"}'
} >"$work/lsp.in"
run server sh -c '"$1" <"$2"' sh "$tree/usr/bin/qxl-lsp" "$work/lsp.in"
expect_status server 0
expect_text server out '"name":"qxl-lsp"'

finish

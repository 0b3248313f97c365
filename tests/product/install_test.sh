#!/bin/sh
# Installs the build into a DESTDIR as `make install` does, uses the
# installed compiler through its link, installs again over the first
# install, and uninstalls, checking that exactly what was installed goes.
#
#   sh install_test.sh SOURCE_DIR BUILD_DIR
set -u
src=$1
build=$2
. "$src/tests/product/lib.sh"

install_sh="$src/scripts/install.sh"
product=lib/quillet$(project_version "$src")
prefix=/usr/local
# A DESTDIR whose name has a blank, and that does not exist yet.
dest="$scratch/dest dir"
root=$dest$prefix

# --- The first install ----------------------------------------------------
run install1 sh "$install_sh" install "$build" "$prefix" "$dest"
expect_status install1 0
for program in qxl qxldis qxlrun qxl-lsp; do
    [ -x "$root/$product/bin/$program" ] || fail "$program is not in $root/$product/bin"
    [ "$(readlink "$root/bin/$program")" = "../$product/bin/$program" ] ||
        fail "$root/bin/$program is not a link into the product directory"
    expect_file "$root/share/man/man1/$program.1"
done
expect_dir "$root/$product/include"
expect_file "$root/$product/include/qxltest.h"
expect_file "$root/share/doc/qxl/guide.md"
expect_file "$root/share/doc/qxl/builtin-names.md"
expect_file "$root/share/doc/qxl/builtin-names.json"
expect_file "$root/share/qxl/editors/vim/syntax/qxl.vim"
expect_file "$root/share/qxl/editors/emacs/qxl-mode.el"
expect_file "$root/share/qxl/editors/vscode/package.json"
expect_file "$root/share/qxl/editors/vscode/extension.js"
expect_file "$root/share/qxl/editors/emacs/qxl-eglot.el"
expect_file "$root/share/qxl/editors/neovim/lua/qxl-lsp.lua"
expect_file "$root/$product/installed-files"
first_tree=$(tree "$root")

# --- The installed compiler, run through its link -------------------------
work=$scratch/work
mkdir -p "$work/home"
cat >"$work/probe.q" <<'Q'
#include <qxlprobe.h>
int probe_copy = PROBE_VALUE;
Q
run verbose env -u QLTPATH -u QLTCUSTDIR HOME="$work/home" \
    sh -c 'cd "$1" && "$2" -n -v -w1 probe.q' sh "$work" "$root/bin/qxl"
expect_text verbose out "$root/$product/include/"
if grep -q -F -x -- "$root/bin/" "$scratch/verbose.out"; then
    fail "the installed compiler still searches the directory of its link"
fi
# The header is the user's, not the install's: it must survive uninstall.
printf '#define PROBE_VALUE 42\n' >"$root/$product/include/qxlprobe.h"
run compile env -u QLTPATH -u QLTCUSTDIR HOME="$work/home" \
    sh -c 'cd "$1" && "$2" -n -w1 probe.q && "$3" probe.b' sh "$work" \
    "$root/bin/qxl" "$root/bin/qxldis"
expect_status compile 0
expect_text compile out "probe-copy"

# --- A second install over the first gives the same tree ------------------
run install2 sh "$install_sh" install "$build" "$prefix" "$dest"
expect_status install2 0
rm "$root/$product/include/qxlprobe.h"
[ "$(tree "$root")" = "$first_tree" ] || fail "a second install changed the installed tree"
printf '#define PROBE_VALUE 42\n' >"$root/$product/include/qxlprobe.h"

# --- Uninstall removes what was installed and nothing else ----------------
echo "the user's own" >"$root/bin/qxlmine"
echo "changed" >>"$root/share/doc/qxl/guide.md"
rm "$root/bin/qxlrun" && echo "not a link any more" >"$root/bin/qxlrun"
run uninstall make -s -C "$src" uninstall PREFIX="$prefix" DESTDIR="$dest"
expect_status uninstall 0
expect_text uninstall out "kept $root/share/doc/qxl/guide.md: changed since it was installed"
expect_text uninstall out "kept $root/bin/qxlrun: not the link that was installed"
expected="d ./bin
f ./bin/qxlmine
f ./bin/qxlrun
d ./lib
d ./$product
d ./$product/include
f ./$product/include/qxlprobe.h
d ./share
d ./share/doc
d ./share/doc/qxl
f ./share/doc/qxl/guide.md"
left=$(tree "$root" | cut -d' ' -f1,2)
[ "$left" = "$expected" ] || {
    fail "uninstall left other than the user's files"
    echo "$left" | sed 's/^/  | /'
}
[ "$(cat "$root/bin/qxlmine")" = "the user's own" ] || fail "uninstall changed a file it did not install"

# With nothing installed, uninstall says so and succeeds.
run uninstall2 make -s -C "$src" uninstall PREFIX="$prefix" DESTDIR="$dest"
expect_status uninstall2 0
expect_text uninstall2 out "nothing to uninstall"

# A clean tree is left clean.
rm -rf "$dest"
run install3 sh "$install_sh" install "$build" "$prefix" "$dest"
expect_status install3 0
run uninstall3 sh "$install_sh" uninstall "$product" "$prefix" "$dest"
expect_status uninstall3 0
left=$(tree "$dest")
[ "$left" = "d ./usr
d ./usr/local" ] || { fail "install and uninstall left files behind"; echo "$left" | sed 's/^/  | /'; }

# `make install` passes PREFIX and DESTDIR on.
run dry make -s -n -C "$src" install PREFIX=/opt/q DESTDIR=/tmp/stage
expect_text dry out 'scripts/install.sh install build "/opt/q" "/tmp/stage"'

finish

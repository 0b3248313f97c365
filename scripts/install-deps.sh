#!/bin/sh
# Installs what building and testing qxl needs, on Debian, when missing:
# the Debian packages below (through apt-get, when run as root; otherwise
# it names them and stops), then the npm packages of the VS Code grammar
# test (into tests/editors/vscode/node_modules, from its package-lock.json).
set -u

packages=""
want_command() {  # command package
  command -v "$1" >/dev/null 2>&1 || packages="$packages $2"
}
want_package() {  # package
  dpkg -s "$1" >/dev/null 2>&1 || packages="$packages $1"
}

# Building: compilers, build tools, the libraries the programs and tests use.
want_command make make
want_command g++ g++
want_command clang++ clang
want_command cmake cmake
want_command ninja ninja-build
want_command pkg-config pkg-config
want_command python3 python3
want_package libgtest-dev
want_package libicu-dev
want_package libclang-rt-dev
want_package nlohmann-json3-dev
# Packaging and the manual pages.
want_command dpkg-shlibdeps dpkg-dev
want_command lintian lintian
want_command mandoc mandoc
want_command man man-db
# The editors whose kits are tested (Neovim's built-in language client,
# Emacs's eglot and Vim's ALE talk to qxl-lsp), and Node.js for the VS
# Code grammar.
want_command vim vim-nox
want_command nvim neovim
want_command emacs emacs-nox
want_package elpa-eglot
want_package vim-ale
want_command node nodejs
want_command npm npm

if [ -n "$packages" ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "Installing Debian packages:$packages"
    echo "(apt-get's progress follows; this takes a few minutes on a new machine)"
    export DEBIAN_FRONTEND=noninteractive
    # shellcheck disable=SC2086
    if ! apt-get update -q || ! apt-get install -y --no-install-recommends $packages; then
      echo "apt-get could not install:$packages" >&2
      exit 1
    fi
  else
    echo "qxl needs these Debian packages:$packages" >&2
    echo "Install them as root with: apt-get install$packages" >&2
    exit 1
  fi
fi

# The npm packages of the grammar test, exactly as locked.
npm_dir=tests/editors/vscode
if [ -f "$npm_dir/package-lock.json" ]; then
  stamp=$npm_dir/node_modules/.package-lock.json
  if [ ! -f "$stamp" ] || [ "$npm_dir/package-lock.json" -nt "$stamp" ]; then
    echo "Installing npm packages for the VS Code grammar test into $npm_dir/node_modules"
    if ! (cd "$npm_dir" && npm ci --no-audit --no-fund); then
      echo "npm could not install the packages of $npm_dir/package-lock.json" >&2
      exit 1
    fi
  fi
fi
exit 0

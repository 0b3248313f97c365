# Set-up commands for qxl.  `make demo` builds the compiler and compiles a
# shipped example; `make test` builds and runs every test, plainly and under
# the sanitizers.  Both install missing Debian packages first.  All of them
# share the build directory build/, configured one way
# (scripts/configure.sh).

BUILD := build
PREFIX ?= /usr/local
DESTDIR ?=
VERSION := $(shell sed -n 's/.*version_text = "\([0-9.]*\)".*/\1/p' driver/search_paths.h)
PRODUCT := lib/quillet$(VERSION)
PROGRAMS := qxl qxldis qxlrun qxl-lsp

.PHONY: all deps configure demo test fuzz difftest clean bench \
        install uninstall package

all: configure
	cmake --build $(BUILD)

deps:
	@sh scripts/install-deps.sh

configure: deps
	@sh scripts/configure.sh $(BUILD) >$(BUILD).configure.log 2>&1 || \
	  { cat $(BUILD).configure.log; exit 1; }

demo: configure
	cmake --build $(BUILD) --target qxl qxldis
	@sh scripts/demo.sh $(BUILD)/qxl

test: deps
	@sh scripts/run-tests.sh

# GNU style: PREFIX (default /usr/local) and DESTDIR; the programs go into
# PREFIX/lib/quillet$(VERSION)/bin with links in PREFIX/bin.
install: configure
	cmake --build $(BUILD) --target $(PROGRAMS)
	@sh scripts/install.sh install $(BUILD) "$(PREFIX)" "$(DESTDIR)"

uninstall:
	@sh scripts/install.sh uninstall $(PRODUCT) "$(PREFIX)" "$(DESTDIR)"

package: deps
	@sh scripts/package.sh .

difftest: all
	python3 tests/difftest/difftest.py --qxlrun $(BUILD)/tools/qxlrun --count $(or $(N),1000)

fuzz: deps
	@sh scripts/fuzz.sh

bench:
	@sh bench/run.sh

clean:
	rm -rf build build-asan build-fuzz build-package build*.log qxl_*.deb

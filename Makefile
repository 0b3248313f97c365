# Set-up commands for qxl.  `make demo` builds the compiler and compiles a
# shipped example; `make test` builds and runs every test, plainly and under
# the sanitizers.  Both install missing Debian packages first.

BUILD := build

.PHONY: all deps demo test fuzz difftest clean bench

all: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD)

deps:
	@sh scripts/install-deps.sh

demo: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) --target qxl qxldis
	@sh scripts/demo.sh $(BUILD)/qxl

test: deps
	@sh scripts/run-tests.sh

difftest: all
	python3 tests/difftest/difftest.py --qxlrun $(BUILD)/tools/qxlrun --count $(or $(N),1000)

fuzz: deps
	@sh scripts/fuzz.sh

bench:
	@sh bench/run.sh

clean:
	rm -rf build build-asan build-fuzz build.log build-asan.log build-fuzz.log

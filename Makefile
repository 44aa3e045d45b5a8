# make demo | make test | make bench
JOBS ?= $(shell nproc)
export ASAN_OPTIONS ?= detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS ?= print_stacktrace=1:halt_on_error=1

.PHONY: setup release asan demo test bench clean

setup:
	@bash scripts/setup.sh

release: setup
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)

asan: setup
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)

demo: release
	./build/release/bin/wren demo

test: release asan
	ctest --test-dir build/release --output-on-failure -j $(JOBS)
	ctest --test-dir build/asan --output-on-failure -j $(JOBS)

bench: release
	cmake --build --preset release -j $(JOBS) --target wren_bench
	./build/release/bin/wren_bench

clean:
	rm -rf build out

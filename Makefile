# make demo | make test | make bench | make fuzz [FUZZ_SECONDS=n] | make tsan
JOBS ?= $(shell nproc)
export ASAN_OPTIONS ?= detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS ?= print_stacktrace=1:halt_on_error=1

.PHONY: setup release asan tsan fuzz-build fuzz demo test bench clean

# How long `make fuzz` runs the path fuzzer, in seconds.
FUZZ_SECONDS ?= 600

setup:
	@bash scripts/setup.sh

# Configures build/$(1) from its preset; a tree made by another generator is made afresh.
define configure
	@grep -qs 'CMAKE_GENERATOR:INTERNAL=Unix Makefiles' build/$(1)/CMakeCache.txt && rm -rf build/$(1) || true
	cmake --preset $(1) >/dev/null
endef

release: setup
	$(call configure,release)
	cmake --build --preset release -j $(JOBS)

asan: setup
	$(call configure,asan)
	cmake --build --preset asan -j $(JOBS)

# The threads stress test under ThreadSanitizer: only what it needs is built.
tsan: setup
	$(call configure,tsan)
	cmake --build --preset tsan -j $(JOBS)
	ctest --test-dir build/tsan --output-on-failure

demo: release
	./build/release/bin/wren demo

# The path fuzzer (clang, libFuzzer and the sanitizers): only what it needs.
fuzz-build: setup
	$(call configure,fuzz)
	cmake --build --preset fuzz -j $(JOBS) --target wren_fuzz

# The seeds, then fuzzing for FUZZ_SECONDS; new inputs go to build/fuzz/fuzz_corpus.
fuzz: fuzz-build
	mkdir -p build/fuzz/fuzz_corpus
	cd build/fuzz && ./bin/wren_fuzz -max_total_time=$(FUZZ_SECONDS) -timeout=20 -rss_limit_mb=4096 \
	  -print_final_stats=1 fuzz_corpus ../../tests/fuzz/corpus

test: release asan fuzz-build
	ctest --test-dir build/release --output-on-failure -j $(JOBS)
	ctest --test-dir build/asan --output-on-failure -j $(JOBS)
	ctest --test-dir build/fuzz --output-on-failure

bench: release
	cmake --build --preset release -j $(JOBS) --target wren_bench
	./build/release/bin/wren_bench

clean:
	rm -rf build out

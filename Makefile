# Front door of the build: every target first installs what is missing (scripts/install-deps).
BUILD ?= build
JOBS  ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build run test clean test-asan test-tsan fuzz soak bench

all: build

# Packages a target needs beyond the usual ones (set per target below).
EXTRA_PACKAGES ?=
deps:
	scripts/install-deps $(EXTRA_PACKAGES)

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# Runs the service in the foreground with the simulated device library; Ctrl-C ends it.
run: build
	./$(BUILD)/service/korva-server

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The whole test suite under AddressSanitizer with UndefinedBehaviorSanitizer, and under
# ThreadSanitizer, each in its own build folder. Any report ends the process that made it (the
# service included), so a report fails the test that caused it. Tests labelled in SANITIZER_EXCLUDE
# (a ctest label regex) are left out: the soak (run by `make soak`), the file-limit case, at which
# the sanitizer runtimes, short of descriptors themselves, report false errors, and tests labelled
# `load` whose time limits a sanitizer's slowdown (up to tenfold) would break.
SANITIZER_EXCLUDE ?= soak|fdlimit|load
SANITIZER_CMAKE = -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 $(CMAKE_FLAGS)
test-asan: deps
	cmake -S . -B build-asan -DKORVA_SANITIZE=address,undefined $(SANITIZER_CMAKE)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && \
	  ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:strict_string_checks=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) -LE '$(SANITIZER_EXCLUDE)'

test-tsan: deps
	cmake -S . -B build-tsan -DKORVA_SANITIZE=thread $(SANITIZER_CMAKE)
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && \
	  TSAN_OPTIONS=halt_on_error=1:abort_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j $(JOBS) -LE '$(SANITIZER_EXCLUDE)'

# libFuzzer targets built with clang++ (with AddressSanitizer and UndefinedBehaviorSanitizer), each
# run for FUZZ_SECONDS. New inputs go to build-fuzz/corpus/<target>, crashes to
# build-fuzz/artifacts/; the seed corpus in tests/fuzz/corpus is only read. An input that crashed
# belongs in tests/fuzz/corpus/<target> once fixed, where `make test` replays it.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = handshake frame
fuzz:
	scripts/install-deps clang libclang-rt-14-dev
	cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DKORVA_FUZZ=ON -DKORVA_SANITIZE=address,undefined \
	  -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS=-O1 -fsanitize=fuzzer-no-link" $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS) --target $(FUZZ_TARGETS:%=%_fuzzer)
	mkdir -p build-fuzz/artifacts
	for target in $(FUZZ_TARGETS); do \
	  mkdir -p build-fuzz/corpus/$$target && \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  build-fuzz/tests/fuzz/$${target}_fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 \
	    -print_final_stats=1 -artifact_prefix=build-fuzz/artifacts/$$target- \
	    build-fuzz/corpus/$$target tests/fuzz/corpus/$$target || exit 1; \
	done

# The soak: mixed traffic with reconnects against the service for SOAK_SECONDS (default 180).
SOAK_SECONDS ?= 180
soak: build
	cd $(BUILD) && KORVA_SOAK_SECONDS=$(SOAK_SECONDS) \
	  ctest --output-on-failure -V -L soak --timeout $$(( $(SOAK_SECONDS) * 2 + 120 ))

# The benchmark (bench/README.md): the release build against korva-server on 127.0.0.1:8888 and
# the echo example, BENCH_SECONDS measured per load step (about two minutes in all by default;
# BENCH_SECONDS=1 is the smoke). It needs port 8888 free and strace to count system calls.
BENCH_SECONDS ?= 10
bench: EXTRA_PACKAGES = strace
bench: build
	BENCH_SECONDS=$(BENCH_SECONDS) bench/run --build $(BUILD)

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz

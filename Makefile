# Front door of the build: every target first installs what is missing (scripts/install-deps).
BUILD ?= build
JOBS  ?= $(shell nproc)
CMAKE_FLAGS ?=
# Release, or MinSizeRel for the smallest binary (e.g. make test BUILD=build-small BUILD_TYPE=MinSizeRel).
BUILD_TYPE ?= Release

.PHONY: all deps build run test clean test-asan test-tsan fuzz soak cross test-cross package bench autobahn autobahn-deflate

all: build

# Packages a target needs beyond the usual ones (set per target below).
EXTRA_PACKAGES ?=
deps:
	scripts/install-deps $(EXTRA_PACKAGES)

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DBUILD_TESTING=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# Runs the service in the foreground with the simulated device library; Ctrl-C ends it. Installs
# and builds only what the service and the simulated device need; a build folder it makes anew
# leaves the tests out until `make build` or `make test` puts them in. The service serves no page:
# its last line before the service's own says how to open the console in a browser (stack.js
# runs a service of its own on 127.0.0.1:8888 behind nginx, and needs nginx, node and openssl).
run:
	scripts/install-deps --service
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	  $(if $(wildcard $(BUILD)/CMakeCache.txt),,-DBUILD_TESTING=OFF) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target korva-server
	@echo "make run: ws://127.0.0.1:8888/api until Ctrl-C; it serves no page. For the console in a" \
	  "browser, stop it, run 'node tests/clients/stack.js $(BUILD)/service/korva-server 8080' (it needs" \
	  "nginx, node and openssl: make build installs them) and open http://127.0.0.1:8080/"
	@./$(BUILD)/service/korva-server

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Cross builds for the device with Debian's cross toolchains (cmake/toolchains/ARCH.cmake), tests
# included, into build-ARCH: `make cross ARCH=armhf` (or arm64). `make test-cross ARCH=armhf` runs
# the suite under qemu-user; the client tests (node, nginx, Chromium) are host-only. CROSS_SYSROOT=1
# takes the target's libraries from downloaded packages instead of installing them for the target's
# architecture (scripts/install-deps --cross-sysroot): for when they cannot be installed.
HOST_ARCH := $(shell dpkg --print-architecture 2>/dev/null)
ARCH ?= $(HOST_ARCH)
CROSS_ARCHS = armhf arm64
CROSS_BUILD ?= build-$(ARCH)
cross:
	@case " $(CROSS_ARCHS) " in *" $(ARCH) "*) ;; *) echo "make cross: ARCH must be one of: $(CROSS_ARCHS)" >&2; exit 2;; esac
	scripts/install-deps $(if $(CROSS_SYSROOT),--cross-sysroot,--cross) $(ARCH)
	cmake -S . -B $(CROSS_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/$(ARCH).cmake \
	  -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DKORVA_CROSS_SYSROOT=$(if $(CROSS_SYSROOT),ON,OFF) $(CMAKE_FLAGS)
	cmake --build $(CROSS_BUILD) -j $(JOBS)

test-cross: cross
	cd $(CROSS_BUILD) && ctest --output-on-failure -j $(JOBS)

# The Debian package, korva-server_<version>_<arch>.deb, in the build folder: for the build
# machine's architecture by default, or ARCH=armhf|arm64 from the cross build.
package:
ifeq ($(ARCH),$(HOST_ARCH))
	$(MAKE) build
	cd $(BUILD) && cpack -G DEB
else
	$(MAKE) cross ARCH=$(ARCH)
	cd $(CROSS_BUILD) && cpack -G DEB
endif

# The whole test suite under AddressSanitizer with UndefinedBehaviorSanitizer, and under
# ThreadSanitizer, each in its own build folder. Any report ends the process that made it (the
# service included), so a report fails the test that caused it. Tests labelled in SANITIZER_EXCLUDE
# (a ctest label regex) are left out: the soak (run by `make soak`), the file-limit case, at which
# the sanitizer runtimes, short of descriptors themselves, report false errors, and tests labelled
# `load` whose time limits a sanitizer's slowdown (up to tenfold) would break, and the checks of the
# package, which test packaging, not code.
SANITIZER_EXCLUDE ?= soak|fdlimit|load|package
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
FUZZ_TARGETS = handshake frame inflate
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

# The Autobahn|Testsuite fuzzing client against the echo example (cases 1 to 10, and a share of the
# permessage-deflate cases that covers each offer and payload): fails unless every case passes
# strictly. The suite lives beside the checkout, in ../shared/autobahn; without it the
# target says NOT RUN and fails (scripts/autobahn).
autobahn: build
	scripts/autobahn $(BUILD)

# Every permessage-deflate case of the suite (12.* and 13.*, 216 cases, about half an hour);
# `make autobahn` runs a share of them that covers each offer and payload.
autobahn-deflate: build
	scripts/autobahn $(BUILD) --deflate

# The benchmark (bench/README.md): the release build against korva-server on 127.0.0.1:8888 and
# the echo example, BENCH_SECONDS measured per load step (about two and a half minutes in all by default;
# BENCH_SECONDS=1 is the smoke). It needs port 8888 free and strace to count system calls.
BENCH_SECONDS ?= 10
bench: EXTRA_PACKAGES = strace
bench: build
	BENCH_SECONDS=$(BENCH_SECONDS) bench/run --build $(BUILD)

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz $(CROSS_ARCHS:%=build-%)

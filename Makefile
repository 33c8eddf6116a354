# Front door: deps, build, test (plain + ASan/UBSan + TSan), bench, run, install, format.
SHELL := /bin/bash
.DEFAULT_GOAL := build

PREFIX ?= /usr/local
DESTDIR ?=
JOBS ?= $(shell nproc)

DEB_PACKAGES := cmake ninja-build g++ clang llvm libclang-rt-14-dev clang-format pkg-config \
	libgtest-dev libgmock-dev libbenchmark-dev libpng-dev libsystemd-dev nlohmann-json3-dev libcli11-dev uuid-dev \
	libpipewire-0.3-dev pipewire-bin wireplumber systemd libyuv-dev \
	chromium xdg-desktop-portal dbus-daemon dbus-bin gstreamer1.0-pipewire \
	gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-bad gnuplot-nox linux-perf \
	pybind11-dev python3-dev python3-numpy python3-pytest \
	libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-plugins-good

# The interpreter the Python package kova is built for and benchmarked under (Debian's: its
# numpy, pytest and pybind11 come from the packages above).
PYTHON ?= /usr/bin/python3

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

# Sanitizer reports fail the run: stop at the first one, never recover.
export ASAN_OPTIONS := abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS := halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS := halt_on_error=1:second_deadlock_stack=1

CMAKE_COMMON := -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON

FUZZ_SECONDS ?= 60

.PHONY: mutants soak fuzz deps build build-asan build-tsan test test-plain test-asan test-tsan bench run install format clean

deps:
	@missing=$$(for p in $(DEB_PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
		echo "installing:" $$missing; \
		$(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
		$(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi

build/build.ninja:
	cmake -S . -B build $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++

build: build/build.ninja
	cmake --build build -j $(JOBS)

build-asan/build.ninja:
	cmake -S . -B build-asan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DKOVA_SANITIZE=address

build-asan: build-asan/build.ninja
	cmake --build build-asan -j $(JOBS)

build-tsan/build.ninja:
	cmake -S . -B build-tsan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DKOVA_SANITIZE=thread

build-tsan: build-tsan/build.ninja
	cmake --build build-tsan -j $(JOBS)

# The soak and load runs take minutes each and are run by `make soak`.
CTEST := ctest --output-on-failure -j $(JOBS) -LE '^(long|soak)$$'

test-plain: build
	cd build && $(CTEST)

test-asan: build-asan
	cd build-asan && $(CTEST)

# TSan needs the classic address layout on kernels with high mmap entropy.
test-tsan: build-tsan
	cd build-tsan && setarch $$(uname -m) -R $(CTEST)

# The 60 s load run and the 2-minute soak (kova-soak), one at a time, in the plain build; part of
# `make test`. Longer soaks: ./build/bin/kova-soak soak --duration 1h.
soak: deps build
	cd build && ctest --output-on-failure -L '^long$$'

# The fuzz runs keep one core busy for a minute each; the load and soak runs need little CPU and
# take the other, so they run side by side once the fuzzers are built.
test: deps
	$(MAKE) test-plain
	$(MAKE) test-asan
	$(MAKE) test-tsan
	JOBS=$(JOBS) fuzz/run.sh --build-only
	$(MAKE) -j2 --output-sync=target fuzz soak

# The micro-benchmarks, the end-to-end comparison (kova-bench) and its latency plot, then what
# the Python package costs per frame.
bench: deps build
	./build/bin/kova-microbench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
	./build/bin/kova-bench --runs 3 --json build/kova-bench.json
	./build/bin/kova-bench-plot build/kova-bench.json build/kova-bench-latency.png
	PYTHONPATH=build/python $(PYTHON) bench/python/kova_python_bench.py --camera build/bin/kova-camera
	@echo "JSON: build/kova-bench.json  plot: build/kova-bench-latency.png"

run: deps build
	@echo "Starting kova-camera on \$$KOVA_SOCKET, else \$$XDG_RUNTIME_DIR/kova/camera.sock, else /tmp/kova-$$(id -u)/camera.sock."
	@echo "In another terminal:  ./build/bin/kova push --pattern bars     (push frames)"
	@echo "                      ./build/bin/kova view --count 5 --json   (watch the output)"
	@echo "                      ./build/bin/kova snapshot frame.png      (one frame as PNG)"
	@echo "Stop with Ctrl-C."
	exec ./build/bin/kova-camera

# The units name the programs' installed folder, so the prefix is fixed at configure time.
install: build
	cmake -S . -B build -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build build -j $(JOBS)
	DESTDIR=$(DESTDIR) cmake --install build

# The mutation run: each fault of tests/mutants/faults.txt applied in turn to a private copy of the
# tree (build-mutants/), rebuilt and tested; caught or missed, and the score. Takes an hour or more;
# not part of `make test`. One fault or a few: make mutants MUTANTS="cam-push-busy wire-height-zero".
MUTANT_JOBS ?= 2
mutants: deps
	python3 tests/mutants/run.py -j $(MUTANT_JOBS) $(MUTANTS)

# Each libFuzzer target for FUZZ_SECONDS; a crash fails the run and leaves its reproducer.
fuzz: deps
	FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) fuzz/run.sh

format:
	@files=$$(git ls-files '*.h' '*.cpp'); \
	clang-format --dry-run --Werror $$files && echo "format: clean"

clean:
	rm -rf build build-asan build-tsan build-fuzz

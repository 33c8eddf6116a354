# Front door: deps, build, test (plain + ASan/UBSan + TSan), bench, run, install, format.
SHELL := /bin/bash
.DEFAULT_GOAL := build

PREFIX ?= /usr/local
DESTDIR ?=
JOBS ?= $(shell nproc)

# What building, running and installing need, and every command the README shows.
DEB_PACKAGES := cmake ninja-build g++ pkg-config help2man libpng-dev libjpeg62-turbo-dev libsystemd-dev \
	nlohmann-json3-dev libcli11-dev uuid-dev libyuv-dev \
	libpipewire-0.3-dev pipewire pipewire-bin wireplumber systemd \
	libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev \
	gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-pipewire \
	pybind11-dev python3-dev python3-numpy
# What the tests add: the sanitizer and fuzzer toolchain, the test libraries, a browser in a
# private desktop session, pytest.
DEB_TEST_PACKAGES := clang llvm libclang-rt-14-dev clang-format libgtest-dev libgmock-dev \
	libbenchmark-dev chromium xdg-desktop-portal dbus-daemon dbus-bin python3-pytest
# What the measuring runs of `make bench` add: GStreamer's shm relay, the plot, the profiler.
DEB_BENCH_PACKAGES := gstreamer1.0-plugins-bad gnuplot-nox linux-perf

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

.PHONY: mutants soak fuzz deps deps-test deps-bench build build-tests build-asan build-tsan test test-plain \
	test-asan test-tsan bench run install uninstall format clean

# Installs those of the listed Debian packages that are missing.
define apt_install
	@missing=$$(for p in $(1); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
		echo "installing:" $$missing; \
		$(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
		$(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

deps:
	$(call apt_install,$(DEB_PACKAGES))

deps-test:
	$(call apt_install,$(DEB_PACKAGES) $(DEB_TEST_PACKAGES))

deps-bench:
	$(call apt_install,$(DEB_PACKAGES) $(DEB_TEST_PACKAGES) $(DEB_BENCH_PACKAGES))

# build/ holds the programs and the client library; `make build-tests` (and so `make test`) adds
# the tests and benchmarks to it, and they stay on there. The test builds treat warnings as errors.
TEST_OPTIONS := -DKOVA_TESTS=ON -DKOVA_BENCH=ON -DKOVA_WERROR=ON

# Configures folder $(1) for the tests with the further options $(2), unless it already is.
define configure_tests
	@grep -qs '^KOVA_TESTS:BOOL=ON' $(1)/CMakeCache.txt && grep -qs '^KOVA_WERROR:BOOL=ON' $(1)/CMakeCache.txt || \
		cmake -S . -B $(1) $(CMAKE_COMMON) $(TEST_OPTIONS) $(2)
endef

build/build.ninja:
	cmake -S . -B build $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++

build: build/build.ninja
	cmake --build build -j $(JOBS)

build-tests:
	$(call configure_tests,build,-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++)
	cmake --build build -j $(JOBS)

build-asan:
	$(call configure_tests,build-asan,-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DKOVA_SANITIZE=address)
	cmake --build build-asan -j $(JOBS)

build-tsan:
	$(call configure_tests,build-tsan,-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DKOVA_SANITIZE=thread)
	cmake --build build-tsan -j $(JOBS)

# The soak and load runs take minutes each and are run by `make soak`.
CTEST := ctest --output-on-failure --no-tests=error -j $(JOBS) -LE '^(long|soak)$$'

test-plain: build-tests
	cd build && $(CTEST)

test-asan: build-asan
	cd build-asan && $(CTEST)

# TSan needs the classic address layout on kernels with high mmap entropy.
test-tsan: build-tsan
	cd build-tsan && setarch $$(uname -m) -R $(CTEST)

# The 60 s load run and the 2-minute soak (kova-soak), one at a time, in the plain build; part of
# `make test`. Longer soaks: ./build/bin/kova-soak soak --duration 1h.
soak: deps-test build-tests
	cd build && ctest --output-on-failure --no-tests=error -L '^long$$'

# The fuzz runs keep one core busy for a minute each; the load and soak runs need little CPU and
# take the other, so they run side by side once the fuzzers are built.
test: deps-test
	$(MAKE) test-plain
	$(MAKE) test-asan
	$(MAKE) test-tsan
	JOBS=$(JOBS) fuzz/run.sh --build-only
	$(MAKE) -j2 --output-sync=target fuzz soak

# The micro-benchmarks, the end-to-end comparison (kova-bench) and its latency plot, then what
# the Python package costs per frame.
bench: deps-bench build-tests
	./build/bin/kova-microbench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
	./build/bin/kova-bench --runs 3 --json build/kova-bench.json
	./build/bin/kova-bench-plot build/kova-bench.json build/kova-bench-latency.png
	PYTHONPATH=build/python $(PYTHON) bench/python/kova_python_bench.py --camera build/bin/kova-camera
	./build/bin/kova-pipewire-latency --seconds 5 --push
	@echo "JSON: build/kova-bench.json  plot: build/kova-bench-latency.png"

run: deps build
	@echo "In another terminal:  ./build/bin/kova push --pattern bars     (push frames)"
	@echo "                      ./build/bin/kova view --count 5 --json   (watch the output)"
	@echo "                      ./build/bin/kova snapshot frame.png      (one frame as PNG)"
	@echo "Stop with Ctrl-C."
	exec ./build/bin/kova-camera

# Installs what `make build` built, as it stands: no configuring or building here, since this
# usually runs as root. The prefix is chosen now, not when configuring; programs are stripped.
# The list of installed files, DESTDIR included, is kept for `make uninstall`, owned like the rest
# of build/.
INSTALLED := build/installed-files.txt

install:
	@[ -f build/cmake_install.cmake ] && [ -x build/bin/kova-camera ] || \
		{ echo "nothing built to install: run 'make build' first" >&2; exit 1; }
	DESTDIR=$(DESTDIR) cmake --install build --prefix $(PREFIX) --strip
	sed 's|^|$(DESTDIR)|' build/install_manifest.txt > $(INSTALLED)
	rm build/install_manifest.txt
	chown --reference=build $(INSTALLED)
	@[ -z "$(DESTDIR)" ] && [ "$$(id -u)" = 0 ] && ldconfig || true

# Removes exactly the files the last `make install` put in place, and the folders named for Kova
# that it made.
uninstall:
	@[ -f $(INSTALLED) ] || { echo "no $(INSTALLED): nothing was installed from this tree" >&2; exit 1; }
	xargs -d '\n' rm -fv < $(INSTALLED)
	xargs -d '\n' -n1 dirname < $(INSTALLED) | sort -u | grep -E '/(kova|KovaClient)$$' | \
		xargs -r -d '\n' rmdir --ignore-fail-on-non-empty
	rm -f $(INSTALLED)
	@[ "$$(id -u)" = 0 ] && ldconfig || true

# The mutation run: each fault of tests/mutants/faults.txt applied in turn to a private copy of the
# tree (build-mutants/), rebuilt and tested; caught or missed, and the score. About 5 minutes on two
# cores once the tree is built; not part of `make test`. One fault or a few:
# make mutants MUTANTS="cam-push-busy wire-height-zero".
MUTANT_JOBS ?= 2
mutants: deps-test
	python3 tests/mutants/run.py -j $(MUTANT_JOBS) $(MUTANTS)

# Each libFuzzer target for FUZZ_SECONDS; a crash fails the run and leaves its reproducer.
fuzz: deps-test
	FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) fuzz/run.sh

format:
	@files=$$(git ls-files '*.h' '*.cpp'); \
	clang-format --dry-run --Werror $$files && echo "format: clean"

clean:
	rm -rf build build-asan build-tsan build-fuzz

# SPDX-License-Identifier: BSD-3-Clause
# dyadfit: `make demo` runs the demonstration, `make test` runs every test.
# Both first install what is missing (as root) or print the install line.

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
OCTAVE     := octave-cli --norc --no-window-system --no-history --quiet

# What the build, the demo and the Octave package need.
BUILD_PACKAGES := cmake make g++ octave liboctave-dev liblapack-dev libblas-dev \
                  libgraphicsmagick++1-dev pkg-config libtiff-dev libcfitsio-dev
# What the tests add: gtest, the 64-bit LAPACK of the MATLAB-layout tests,
# clang's fuzzer runtime, and the Python package's build and tests.
TEST_PACKAGES := libgtest-dev liblapack64-dev libblas64-dev time clang libclang-rt-dev python3 \
                 python3-dev python3-venv python3-setuptools python3-pybind11 python3-numpy python3-pytest \
                 python3-dask python3-distributed
PACKAGES := $(BUILD_PACKAGES) $(TEST_PACKAGES)

# The fuzz target: clang++ with libFuzzer, its own build tree and working corpus.
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 600

.PHONY: all deps deps-build build build-asan test test-asan test-python windows test-windows demo bench fuzz package clean

all: build

deps:
	@./tools/ensure-deps.sh $(PACKAGES)

deps-build:
	@./tools/ensure-deps.sh $(BUILD_PACKAGES)

# Tests and benchmark on explicitly: a demo build may have turned them off.
build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DDYADFIT_TESTS=ON -DDYADFIT_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DDYADFIT_SANITIZE=ON -DDYADFIT_MATLAB=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)

test: build build-asan
	cd $(BUILD) && ctest --output-on-failure
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure
	$(MAKE) fuzz FUZZ_SECONDS=30
	$(MAKE) test-python
	@if [ "$$(id -u)" -eq 0 ] || { command -v wine && command -v i686-w64-mingw32-g++-posix && \
	  command -v x86_64-w64-mingw32-g++-posix; } >/dev/null; then $(MAKE) test-windows; \
	else echo "test-windows: skipped (no Wine or MinGW-w64; as root, make test-windows installs them)"; fi

# The Python package built offline into a venv of Debian's Python, and its
# tests; the parity tests compare with the command line of $(BUILD).
PY_VENV ?= $(BUILD)/python-venv
test-python: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS) --target dyadfit_cli
	/usr/bin/python3 -m venv --system-site-packages $(PY_VENV)
	$(PY_VENV)/bin/pip install --no-build-isolation --no-index --quiet .
	DYADFIT_CLI=$(abspath $(BUILD))/dyadfit $(PY_VENV)/bin/python -m pytest -q python/tests

# Windows plug-ins cross-built with MinGW-w64 into $(WINDOWS_BUILD) (32-bit
# tessik.mexw32/.dll, 64-bit .mexw64, and dyadfit-<version>-windows.zip);
# test-windows runs them under Wine and compares with the Linux build.
WINDOWS_BUILD ?= build-windows
windows: deps
	@./tools/ensure-deps.sh g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix zip
	./windows/build.sh $(WINDOWS_BUILD) $(BUILD) $(JOBS)

test-windows: windows
	@./windows/ensure-wine.sh
	./windows/test-windows.sh $(WINDOWS_BUILD)

# The demo builds the modules and the command line only: no test toolchain.
demo: deps-build
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DDYADFIT_TESTS=OFF -DDYADFIT_BENCH=OFF
	cmake --build $(BUILD) -j $(JOBS)
	$(OCTAVE) --eval "addpath('$(BUILD)/mex'); addpath('demo'); dyadfit_demo('demo-output'); dyadfit_photo_demo('demo-output');"

# The benchmark compares with scikit-image's non-local means too.
bench: build
	@./tools/ensure-deps.sh python3-skimage
	./bench/run.sh $(BUILD)

# The Octave package, $(BUILD)/dyadfit-<version>.tar.gz, for pkg install; make test
# installs it into a scratch prefix and runs pkg test (tests/test_package.sh).
package: deps-build
	./tools/make-package.sh $(BUILD)

# Any crash, sanitizer report, leak, hang or failed check stops the run and fails
# the target, leaving the input in $(FUZZ_BUILD)/ (crash-*, leak-*, timeout-*).
fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g" \
	  -DDYADFIT_FUZZ=ON -DDYADFIT_OCTAVE=OFF -DDYADFIT_MATLAB=OFF -DDYADFIT_TESTS=OFF -DDYADFIT_BENCH=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target dyadfit_fuzz
	mkdir -p $(FUZZ_BUILD)/corpus
	$(FUZZ_BUILD)/fuzz/dyadfit_fuzz -max_total_time=$(FUZZ_SECONDS) -timeout=30 -rss_limit_mb=2048 \
	  -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/ $(FUZZ_BUILD)/corpus fuzz/corpus

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) demo-output

# dyadfit: `make demo` runs the demonstration, `make test` runs every test.
# Both first install what is missing (as root) or print the install line.

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
OCTAVE     := octave-cli --norc --no-window-system --no-history --quiet

PACKAGES := cmake make g++ octave liboctave-dev libgtest-dev liblapack-dev libblas-dev \
            liblapack64-dev libblas64-dev time

.PHONY: all deps build build-asan test test-asan demo bench clean

all: build

deps:
	@./tools/ensure-deps.sh $(PACKAGES)

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DDYADFIT_SANITIZE=ON -DDYADFIT_MATLAB=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)

test: build build-asan
	cd $(BUILD) && ctest --output-on-failure
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure

demo: build
	$(OCTAVE) --eval "addpath('$(BUILD)/mex'); addpath('demo'); dyadfit_demo('demo-output')"

bench: build
	./bench/run.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) demo-output

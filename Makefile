# Thin wrapper: scripts/setup installs what is missing, CMake does the rest.
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc)

.PHONY: all setup setup-run configure configure-run build build-run demo-shop run serve-demo test test-asan fuzz fuzz-replay fuzz-build bench package lint-package clean

all: build

setup:
	@scripts/setup

setup-run:
	@scripts/setup run

configure: setup
	@cmake -S . -B $(BUILD) -G Ninja >/dev/null

configure-run: setup-run
	@cmake -S . -B $(BUILD) -G Ninja >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# Only what the demo runs: the program and the simulated machine (the tests
# and benchmarks come with make build and make test).
build-run: configure-run
	@cmake --build $(BUILD) -j $(JOBS) --target Fenmo32 machine-sim

# The demo shop's folder alone, in $(BUILD)/demo-shop (no display needed).
demo-shop: build-run
	@scripts/demo-shop $(BUILD)/demo-shop

# The demo shop lives in $(BUILD)/demo-shop; it is made on the first run and
# kept. Without a display it says what to run instead, before installing or
# building anything.
run:
	@scripts/check-display
	@$(MAKE) --no-print-directory build-run
	@scripts/run-demo $(BUILD)

# The demo shop served by the shop server (serve --all) instead of the window.
serve-demo: build-run
	@scripts/run-demo --server $(BUILD)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

# The whole suite under AddressSanitizer (leaks included) and UBSan. A small
# quarantine keeps freed memory from counting in the tests that measure the
# resident size.
test-asan: setup
	@cmake -S . -B $(ASAN_BUILD) -G Ninja -DFENMO_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:quarantine_size_mb=8 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 900

fuzz-build: setup
	@cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DFENMO_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz-targets

# Each fuzz target for FUZZ_SECONDS; executions and findings per target.
fuzz: fuzz-build
	@fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Every committed corpus input once, no fuzzing (for CI).
fuzz-replay: fuzz-build
	@fuzz/run $(FUZZ_BUILD) replay

# A .deb of the program (Debian's Qt packages as its dependencies).
package: build
	@cd $(BUILD) && cpack -G DEB

# Debian's checker on the newest .deb: no errors and no warnings (for CI; too
# slow for make test).
lint-package: package
	@desktop-file-validate packaging/fenmo32.desktop
	@lintian --fail-on error,warning $$(ls -t $(BUILD)/fenmo32_*.deb | head -n 1)

bench: build
	@scripts/bench $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)

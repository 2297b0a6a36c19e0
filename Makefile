# Thin wrapper: scripts/setup installs what is missing, CMake does the rest.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all setup configure build run test bench package clean

all: build

setup:
	@scripts/setup

configure: setup
	@cmake -S . -B $(BUILD) -G Ninja >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# The demo shop lives in $(BUILD)/demo-shop; it is made on the first run and kept.
run: build
	@scripts/run-demo $(BUILD)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

# A .deb of the program (Debian's Qt packages as its dependencies).
package: build
	@cd $(BUILD) && cpack -G DEB

bench: build
	@scripts/bench $(BUILD)

clean:
	rm -rf $(BUILD)

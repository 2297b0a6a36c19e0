# Thin wrapper: scripts/setup installs what is missing, CMake does the rest.
BUILD ?= build
HOME_DIR ?= $(CURDIR)/demo
JOBS ?= $(shell nproc)

.PHONY: all setup configure build run test bench clean

all: build

setup:
	@scripts/setup

configure: setup
	@cmake -S . -B $(BUILD) -G Ninja >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/Fenmo32 --home "$(HOME_DIR)"

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

bench: build
	@scripts/bench $(BUILD)

clean:
	rm -rf $(BUILD)

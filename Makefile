# Short commands for the usual jobs. `make scan` and `make test` each install
# any missing Debian packages first, so a fresh machine needs nothing else.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)

.PHONY: setup configure build test scan install clean

setup:
	@scripts/install-deps

configure: setup
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) > /dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

# Builds everything and runs the whole suite through ctest.
test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

# Scans the bundled simulated devices.
scan: build
	@$(BUILD)/bin/zelm scan

install: build
	@cmake --install $(BUILD)

clean:
	@rm -rf $(BUILD)

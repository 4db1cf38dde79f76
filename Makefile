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

# --- sanitizer suites -------------------------------------------------------
# The whole suite again, built with AddressSanitizer and UndefinedBehavior-
# Sanitizer, or with ThreadSanitizer, each in its own build directory. Every
# test a folder under tests/ adds is included, since the sanitizer flags go on
# every target. The first report of any sanitizer aborts the process, so it
# fails the test that ran it even in a child process or a plug-in.
SAN_BUILD_TYPE ?= RelWithDebInfo
SAN_JOBS ?= 2
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
# Plug-ins are unloaded for real under the sanitizers too (tests watch that),
# so a leak allocated by plug-in code is reported and symbolised by the leak
# check that runs just before each unload (see ZELM_SANITIZE in
# CMakeLists.txt); the one at exit still catches everything else.
ASAN_ENV = ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:detect_invalid_pointer_pairs=1:strict_string_checks=1 \
           UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1 \
           LSAN_OPTIONS=print_suppressions=0
TSAN_ENV = TSAN_OPTIONS=halt_on_error=1:abort_on_error=1:second_deadlock_stack=1:history_size=4

.PHONY: test-asan test-tsan

test-asan: setup
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=$(SAN_BUILD_TYPE) -DZELM_SANITIZE=address,undefined > /dev/null
	@$(ASAN_ENV) cmake --build $(ASAN_BUILD) -j$(SAN_JOBS)
	@$(ASAN_ENV) ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(SAN_JOBS)

test-tsan: setup
	@cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=$(SAN_BUILD_TYPE) -DZELM_SANITIZE=thread > /dev/null
	@$(TSAN_ENV) cmake --build $(TSAN_BUILD) -j$(SAN_JOBS)
	@$(TSAN_ENV) ctest --test-dir $(TSAN_BUILD) --output-on-failure -j$(SAN_JOBS)

# --- install check ----------------------------------------------------------
# Installs into a temporary prefix, then builds the examples outside the tree
# against it (CMake package and pkg-config) and runs them; see
# scripts/check-install. Builds in build-install, never in $(BUILD).
.PHONY: check-install

check-install: setup
	@JOBS=$(JOBS) scripts/check-install

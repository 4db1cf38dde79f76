# Short commands for the usual jobs; `make help` lists them. Each installs any
# missing Debian packages first. On a machine without make, `sh ./quickstart
# TARGET` installs the packages, make included, and then runs the target.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
# What `make scan` needs: the library, the tool and the simulated family.
SCAN_TARGETS = dizazuz_oruzoz zelm sim_manager

.DEFAULT_GOAL := help
.PHONY: help setup configure build test scan install clean

help:
	@echo 'make scan           build the library, zelm and the simulated family; scan its devices'
	@echo 'make test           build everything and run the whole test suite'
	@echo 'make build          build everything (library, tool, plug-ins, tests) in $(BUILD)'
	@echo 'make install        build, then install (cmake --install $(BUILD))'
	@echo 'make clean          remove $(BUILD)'
	@echo 'make setup          install the missing Debian packages the build needs'
	@echo 'make test-asan      the whole suite under AddressSanitizer and UBSan (in $(ASAN_BUILD))'
	@echo 'make test-tsan      the whole suite under ThreadSanitizer (in $(TSAN_BUILD))'
	@echo 'make fuzz-smoke     run every fuzz target for FUZZ_TIME=$(FUZZ_TIME) s (in $(FUZZ_BUILD))'
	@echo 'make check-install  install into a temporary prefix; build and run the examples against it'
	@echo 'make check-fresh    run the quick start in a new minimal Debian 12 root (root only, slow)'

setup:
	@sh scripts/install-deps

configure: setup
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) > /dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

# Builds everything and runs the whole suite through ctest.
test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

# Builds only what the scan runs, with the build's output in a log that is
# shown (its end) only when the build fails, then scans the bundled
# simulated devices.
scan: configure
	@echo 'building the library, zelm and the simulated family (log: $(BUILD)/scan-build.log)'
	@cmake --build $(BUILD) -j$(JOBS) --target $(SCAN_TARGETS) > $(BUILD)/scan-build.log 2>&1 || \
	  { tail -n 40 $(BUILD)/scan-build.log; echo 'make scan: the build failed; the whole log is $(BUILD)/scan-build.log'; exit 1; }
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
# Unoptimised: with the sanitizers, -O2 takes about five times as long to
# compile, and the suite spends its time in processes and files, not code.
SAN_BUILD_TYPE ?= Debug
SAN_JOBS ?= 2
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
# Plug-ins are unloaded for real under the sanitizers too (tests watch that).
# The loader of an AddressSanitizer build looks for leaks just before each
# unload, so a leak of plug-in code is reported with its symbols; the check at
# exit then fails the process for it.
ASAN_ENV = ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:strict_string_checks=1 \
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

# --- fuzzing ----------------------------------------------------------------
# Builds the fuzz targets with AFL++ in their own build directory and runs
# each for FUZZ_TIME seconds, FUZZ_JOBS at a time; fails when any found a
# crash or a hang. fuzz/README.md tells how to run them for longer.
FUZZ_BUILD ?= build-fuzz
FUZZ_TIME ?= 60
FUZZ_JOBS ?= 2

.PHONY: fuzz-build fuzz-smoke

# afl-g++-fast instruments through a GCC plug-in that refuses any GCC but the
# exact build it was made for; where the two differ (Debian 12's afl++ and
# its updated gcc-12 do), the classic afl-g++ instruments instead, without
# the persistent loop.
fuzz-build:
	@sh scripts/install-deps --fuzz
	@mkdir -p $(FUZZ_BUILD)
	@echo 'int main() {}' > $(FUZZ_BUILD)/compiler_probe.cpp
	@if AFL_QUIET=1 afl-g++-fast $(FUZZ_BUILD)/compiler_probe.cpp -o $(FUZZ_BUILD)/compiler_probe > /dev/null 2>&1; \
	 then cxx=afl-g++-fast; \
	 else cxx=afl-g++; echo "afl-g++-fast does not work with this GCC; using afl-g++ (one process per input)"; fi; \
	 AFL_QUIET=1 cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=$$cxx \
	   -DZELM_BUILD_FUZZERS=ON -DZELM_BUILD_TESTS=OFF -DZELM_BUILD_TOOLS=OFF > /dev/null
	@AFL_QUIET=1 cmake --build $(FUZZ_BUILD) -j$(SAN_JOBS)

fuzz-smoke: fuzz-build
	@fuzz/run --build $(FUZZ_BUILD) --time $(FUZZ_TIME) --jobs $(FUZZ_JOBS) --out $(FUZZ_BUILD)/smoke

# --- the quick start on a new machine ---------------------------------------
# Bootstraps a minimal Debian 12 root (debootstrap, from the Debian archive),
# clones this repository's committed HEAD into it and runs the README's two
# quick-start commands there as a new user would, so that no install step
# can pass by finding a package already on this machine. Root only; see
# scripts/check-fresh (which installs debootstrap when it is missing).
.PHONY: check-fresh

check-fresh:
	@scripts/check-fresh

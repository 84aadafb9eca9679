# Thin wrapper over CMake: `make`, `make run`, `make test`.
SHELL := /bin/bash
BUILD     ?= build
BUILDTYPE ?= RelWithDebInfo
PORT      ?= 5000
JOBS      ?= 2
PREFIX    ?= /usr/local

.PHONY: all build run test test-asan fuzz bench soak lint install clean

all: build

build:
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILDTYPE) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# Starts the server on $(PORT) in run/, beside a copy of the sample accounts.
run:
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILDTYPE) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target server client
	@mkdir -p run
	@cp examples/accounts.csv run/accounts.csv
	@echo "Server on port $(PORT). Connect with: $(BUILD)/client, then /login alice alice1 127.0.0.1 $(PORT)"
	@cd run && exec ../$(BUILD)/server $(PORT)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan:
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCONF_SANITIZE=ON >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@ctest --test-dir build-asan --output-on-failure -j $(JOBS)

# libFuzzer targets under ASan and UBSan, FUZZ_SECONDS each.
FUZZ_SECONDS ?= 60
fuzz:
	@fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

# Starts the server on a free port and measures it with bench/loadgen.
bench: build
	@bench/run_bench.sh $(BUILD)

# The server under connection-level chaos (partial, dripped and batched sends,
# resets, overflows, reconnects), SOAK_SECONDS long.
SOAK_SECONDS ?= 60
soak: build
	@$(BUILD)/soak --duration $(SOAK_SECONDS) --server $(BUILD)/server

# Formatting, clang-tidy (checks in .clang-tidy) and cppcheck over the tree.
CXX_FILES  = $(shell git ls-files '*.cpp' '*.hpp')
TIDY_FILES = $(shell git ls-files 'common/*.cpp' 'server_side/*.cpp' 'client_side/*.cpp' 'bench/*.cpp')
lint:
	@cmake -S . -B build-lint -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCONF_TESTS=OFF >/dev/null
	@clang-format --dry-run --Werror $(CXX_FILES)
	@clang-tidy -p build-lint --quiet $(TIDY_FILES) 2>&1 | grep -v 'warnings generated' ; exit $${PIPESTATUS[0]}
	@cppcheck --quiet --enable=warning,performance,portability --std=c++17 --error-exitcode=1 \
	  --inline-suppr --suppress=missingIncludeSystem -I common -I server_side -I client_side \
	  common server_side client_side bench
	@echo "lint: clean"

# Installs the programs, their manual pages and the sample accounts under $(PREFIX).
install: build
	@cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	@rm -rf $(BUILD) build-asan build-fuzz run

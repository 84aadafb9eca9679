# Thin wrapper over CMake: `make`, `make run`, `make test`.
BUILD     ?= build
BUILDTYPE ?= RelWithDebInfo
PORT      ?= 5000
JOBS      ?= 2

.PHONY: all build run test test-asan fuzz bench clean

all: build

build:
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILDTYPE) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# Starts the server on $(PORT) in run/, beside a copy of the sample accounts.
run: build
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

clean:
	@rm -rf $(BUILD) build-asan build-fuzz run

# Thin wrapper over CMake: `make`, `make run`, `make test`, `make deb`.
SHELL := /bin/bash
BUILD     ?= build
BUILDTYPE ?= RelWithDebInfo
PORT      ?= 5000
JOBS      ?= 2
PREFIX    ?= /usr/local
DEB_BUILD ?= build-deb
MAKEFLAGS += --no-print-directory

.PHONY: all build run test test-asan fuzz bench soak lint install deb clean

# $(call configure,<dir>,<options>): CMake's own chatter (stdout) hidden; its
# errors and the notes on missing optional libraries (stderr) shown.
configure = cmake -S . -B $(1) $(2) >/dev/null
# $(call compile,<dir>,<options>): one line per compiled file, then only
# warnings and errors. At a terminal make tells CMake so (MAKE_TERMOUT) and
# CMake colours its progress lines: the colour codes go first.
compile = set -o pipefail; cmake --build $(1) -j $(JOBS) $(2) \
  | sed -u -E -e 's@\x1b\[[0-9;]*m@@g' \
              -e 's@^\[ *[0-9]+%\] Building CXX object (.*/)?CMakeFiles/[^/]+\.dir/(.*)\.o$$@  CXX \1\2@' \
              -e '/^\[ *[0-9]+%\] /d'

all: build

build:
	@$(call configure,$(BUILD),-DCMAKE_BUILD_TYPE=$(BUILDTYPE))
	@$(call compile,$(BUILD))

# Starts the server in run/: plain on $(PORT), TLS on $(TLS_PORT) with a
# self-signed certificate made once in run/ (keep it: the clients remember
# its key). run/accounts.csv starts as a copy of the sample accounts and is
# kept from then on: edit it to change accounts. The way to connect is shown
# once the server listens.
TLS_PORT ?= 5001
run:
	@for p in $(PORT) $(TLS_PORT); do [[ "$$p" =~ ^[0-9]+$$ ]] && ((p >= 1024 && p <= 65535)) || \
	  { echo "make run: $$p is not a port from 1024 to 65535, which the client takes." >&2; exit 2; }; done
	@$(call configure,$(BUILD),-DCMAKE_BUILD_TYPE=$(BUILDTYPE))
	@$(call compile,$(BUILD),--target server client)
	@mkdir -p run
	@[ -f run/accounts.csv ] || cp examples/accounts.csv run/accounts.csv
	@[ -f run/key.pem ] || { umask 077 && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 \
	  -nodes -days 3650 -subj /CN=localhost -addext subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost \
	  -keyout run/key.pem -out run/cert.pem 2>/dev/null; } || { echo "make run: openssl could not make run/cert.pem" >&2; exit 1; }
	@set -o pipefail; cd run && ../$(BUILD)/server --tls-port $(TLS_PORT) --tls-cert cert.pem --tls-key key.pem $(PORT) \
	  | sed -u -e '0,/^TLS on port /s|^TLS on port .* fingerprint: \(.*\)$$|&\n\nListening: plain on port $(PORT), TLS on port $(TLS_PORT), accounts in run/accounts.csv.\nConnect with $(BUILD)/client, then /login alice alice1 127.0.0.1 $(PORT)\nor over TLS: /login -tls alice alice1 127.0.0.1 $(TLS_PORT)\nand accept the key if it is \1\n|'

test:
	@$(call configure,$(BUILD),-DCMAKE_BUILD_TYPE=$(BUILDTYPE) -DCONF_TESTS=ON)
	@$(call compile,$(BUILD))
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan:
	@$(call configure,build-asan,-DCMAKE_BUILD_TYPE=Debug -DCONF_SANITIZE=ON -DCONF_TESTS=ON)
	@$(call compile,build-asan)
	@ctest --test-dir build-asan --output-on-failure -j $(JOBS)

# libFuzzer targets under ASan and UBSan, FUZZ_SECONDS each.
FUZZ_SECONDS ?= 60
fuzz:
	@fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

# Starts the server on a free port and measures it with bench/loadgen;
# STORM=5 measures latency while five connections guess passwords.
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
	@$(call configure,build-lint,-DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCONF_TESTS=OFF)
	@clang-format --dry-run --Werror $(CXX_FILES)
	@clang-tidy -p build-lint --quiet $(TIDY_FILES) 2>&1 | grep -v 'warnings generated' ; exit $${PIPESTATUS[0]}
	@cppcheck --quiet --enable=warning,performance,portability --std=c++17 --error-exitcode=1 \
	  --inline-suppr --suppress=missingIncludeSystem -I common -I server_side -I client_side \
	  common server_side client_side bench
	@echo "lint: clean"

# Installs conference-server, conference-client, their manual pages and the
# sample accounts under $(PREFIX).
install: build
	@cmake --install $(BUILD) --prefix $(PREFIX) | sed -u '/^-- Up-to-date: /d'

# The Debian package, built in $(DEB_BUILD) (build-deb/) with Debian's
# hardening flags and stripped programs. CMake refuses to configure it when
# the client would lack line editing.
deb:
	@cxxflags=; ldflags=-s; if command -v dpkg-buildflags >/dev/null; then \
	  export DEB_BUILD_MAINT_OPTIONS=hardening=+all; \
	  cxxflags="$$(dpkg-buildflags --get CPPFLAGS) $$(dpkg-buildflags --get CXXFLAGS)"; \
	  ldflags="$$(dpkg-buildflags --get LDFLAGS) -s"; fi; \
	  $(call configure,$(DEB_BUILD),-DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
	    -DCONF_PACKAGE=ON -DCONF_TESTS=OFF "-DCMAKE_CXX_FLAGS=$$cxxflags" "-DCMAKE_EXE_LINKER_FLAGS=$$ldflags")
	@$(call compile,$(DEB_BUILD))
	@rm -f $(DEB_BUILD)/conference_*.deb
	@cd $(DEB_BUILD) && { cpack >cpack.log 2>&1 || { cat cpack.log; exit 1; }; }
	@ls $(DEB_BUILD)/conference_*.deb

clean:
	@rm -rf $(BUILD) build-asan build-fuzz build-lint $(DEB_BUILD)

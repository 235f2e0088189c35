# Front door for a fresh Debian 12 machine: `make run` or `make test`.

BUILD_DIR := out
ASAN_DIR  := $(BUILD_DIR)/asan
TSAN_DIR  := $(BUILD_DIR)/tsan
JOBS      ?= 2

# The programs keep their files in $XDG_DATA_HOME/glimmerfen wherever they start.
APP := $(CURDIR)/$(BUILD_DIR)/bin/glimmerfen
CLI := $(CURDIR)/$(BUILD_DIR)/bin/glimmerfen-cli

.PHONY: all run test build compile deps clean sanitize tsan bench fuzz package

all: build

# Everything the tests need, the end-to-end tests' mail server and client included.
deps:
	bash scripts/install-deps.sh

build: deps compile

compile:
	cmake -S . -B $(BUILD_DIR) -G Ninja
	cmake --build $(BUILD_DIR) -j$(JOBS)

run:
	bash scripts/install-deps.sh build test bench ui
	$(MAKE) compile
	if [ -x "$(APP)" ]; then exec "$(APP)"; else exec "$(CLI)" --help; fi

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure --no-tests=error -j$(JOBS)

# Benchmarks are left out: sanitizers distort their timings and slow the build.
sanitize: deps
	cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DGLIMMERFEN_SANITIZE=address,undefined -DGLIMMERFEN_BENCH=OFF -DGLIMMERFEN_UI=OFF
	cmake --build $(ASAN_DIR) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_DIR) -L unit --output-on-failure --no-tests=error -j$(JOBS)

# The threads under ThreadSanitizer: classification beside builds, the store
# beside the proxy, the server thread and the Qt bridge, the folder test beside
# the store and the filter (unit and window tests), then the proxy end to end
# between dovecot and real clients, over plain text and over TLS. Qt itself is
# not instrumented: races whose stacks run through its libraries are suppressed
# (tests/tsan.supp).
TSAN_RUN := TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp
tsan: deps
	cmake -S . -B $(TSAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DGLIMMERFEN_SANITIZE=thread -DGLIMMERFEN_BENCH=OFF
	cmake --build $(TSAN_DIR) -j$(JOBS)
	$(TSAN_RUN) ctest --test-dir $(TSAN_DIR) -L 'unit|ui' --output-on-failure --no-tests=error -j$(JOBS)
	$(TSAN_RUN) ctest --test-dir $(TSAN_DIR) -R '^(proxy|tls|accounts)_e2e$$' --output-on-failure --no-tests=error

# Every fuzz target for FUZZ_SECONDS from its seed corpus, in its own clang
# tree (out/fuzz); crash inputs stay in out/fuzz/artifacts/.
FUZZ_SECONDS ?= 60
fuzz:
	bash scripts/install-deps.sh build fuzz
	JOBS=$(JOBS) bash fuzz/run.sh $(FUZZ_SECONDS)

# The mail the benchmarks read: ../shared/corpus, or fetched once into out/corpus.
bench: build
	corpus="$$(bash scripts/corpus-dir.sh)" && export GLIMMERFEN_CORPUS="$$corpus" && \
	  $(BUILD_DIR)/bin/bench_store && $(BUILD_DIR)/bin/bench_rating && $(BUILD_DIR)/bin/bench_build
	bash bench/rate_vs_bogofilter.sh
	bash bench/proxy_vs_direct.sh
	bash bench/proxy_tls_vs_direct.sh
	bash bench/accounts_vs_one.sh

# A .deb of what `cmake --install` installs, with prefix /usr, into $(BUILD_DIR)/.
package:
	bash scripts/install-deps.sh build test bench ui package
	$(MAKE) compile
	cmake --build $(BUILD_DIR) --target package

clean:
	rm -rf $(BUILD_DIR)

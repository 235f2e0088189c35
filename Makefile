# Front door for a fresh Debian 12 machine: `make run` or `make test`.

BUILD_DIR := out
ASAN_DIR  := $(BUILD_DIR)/asan
TSAN_DIR  := $(BUILD_DIR)/tsan
JOBS      ?= 2
DATA_DIR  := $(HOME)/.local/share/glimmerfen

# The program keeps its store relative to the working directory, hence the cd.
APP := $(CURDIR)/$(BUILD_DIR)/bin/glimmerfen
CLI := $(CURDIR)/$(BUILD_DIR)/bin/glimmerfen-cli

.PHONY: all run test build compile deps clean sanitize tsan bench

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
	mkdir -p "$(DATA_DIR)/backup"
	cd "$(DATA_DIR)" && if [ -x "$(APP)" ]; then exec "$(APP)"; else exec "$(CLI)" --help; fi

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

# The threads (classification beside builds, the store beside the proxy) under
# ThreadSanitizer.
tsan: deps
	cmake -S . -B $(TSAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DGLIMMERFEN_SANITIZE=thread -DGLIMMERFEN_BENCH=OFF -DGLIMMERFEN_UI=OFF
	cmake --build $(TSAN_DIR) -j$(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir $(TSAN_DIR) -L unit --output-on-failure --no-tests=error -j$(JOBS)

bench: build
	$(BUILD_DIR)/bin/bench_store
	$(BUILD_DIR)/bin/bench_rating
	$(BUILD_DIR)/bin/bench_build
	bash bench/rate_vs_bogofilter.sh
	bash bench/proxy_vs_direct.sh

clean:
	rm -rf $(BUILD_DIR)

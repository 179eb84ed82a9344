# The README's commands. `make test` and `make run` set up a fresh machine by
# themselves (scripts/install-deps), then configure, build and run.
#   make test                     build and run every test (build/)
#   make test SANITIZE=address    the same under ASan+UBSan (build-address/)
#   make test SANITIZE=thread     the same under TSan (build-thread/)
#   make soak                     the 60-second soak run
#   make test-stress              the suite STRESS_RUNS times (default 3) beside
#                                 two CPU-bound load processes
#   make run                      the dashboard with a Core peer beside it
#   make bench                    the transport benchmark
#   make install PREFIX=P         headers, library, programs and package files under P
#                                 (default /usr/local)
#   make fuzz                     every fuzz target for 60 s (clang)

SANITIZE ?=
WERROR ?= OFF
BUILD_DIR := build$(if $(SANITIZE),-$(SANITIZE))
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
DEPS_STAMP := $(BUILD_DIR)/.deps-installed

.PHONY: all deps configure build test test-stress soak run bench install fuzz clean

all: build

$(DEPS_STAMP): scripts/install-deps
	./scripts/install-deps
	@mkdir -p $(BUILD_DIR) && touch $@

deps: $(DEPS_STAMP)

$(BUILD_DIR)/build.ninja: $(DEPS_STAMP) CMakeLists.txt
	cmake -S . -B $(BUILD_DIR) -G Ninja -DKX_SANITIZE=$(SANITIZE) -DKX_WERROR=$(WERROR)

configure: $(BUILD_DIR)/build.ninja

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

# The 60-second soak is left to `make soak` (and CI).
test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) -LE soak $(CTEST_ARGS)

STRESS_RUNS ?= 3
test-stress: build
	./scripts/test-stress $(BUILD_DIR) $(STRESS_RUNS)

soak: build
	cd $(BUILD_DIR) && ctest --output-on-failure -L soak $(CTEST_ARGS)

run: build
	./scripts/run-client $(BUILD_DIR)

# The table of record: both tunings, each cell measured three times, the median shown.
BENCH_ARGS ?= --low-cpu-streaming --rounds 3
bench: build
	$(BUILD_DIR)/tests/kxfakeshm-bench/kxfakeshm-bench $(BENCH_ARGS)

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

fuzz:
	./scripts/install-deps
	cmake -S . -B build-fuzz -G Ninja -DKX_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++-14
	cmake --build build-fuzz -j $(JOBS)
	./scripts/run-fuzz build-fuzz $(or $(FUZZ_SECONDS),60)

clean:
	rm -rf build build-address build-thread build-fuzz

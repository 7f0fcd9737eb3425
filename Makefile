# Two commands do everything: `make run` and `make test`. `make check` adds
# the sanitizer suite and a short fuzz run (CI runs both: .ci/run).
BUILD   ?= build
JOBS    ?= $(shell nproc)
# Warnings are errors in CI; benches are built by `make bench` and in CI.
WERROR  ?= OFF
BENCH   ?= OFF
CMAKE_FLAGS ?=
# Rebuilds after a clean clone reuse earlier compilations when ccache is there.
LAUNCHER := $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
# A build folder keeps the generator it was made with (a plain `cmake -S . -B
# build` makes Makefiles); a new one gets Ninja when it is installed.
generator = $(if $(wildcard $(1)/CMakeCache.txt),,$(if $(shell command -v ninja),-G Ninja))
# Every option the commands set is given on every configure, so what one
# command chose (warnings as errors, benches) never stays for the next.
OPTIONS = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVERNLY_WERROR=$(WERROR) -DTAVERNLY_BUILD_BENCH=$(BENCH)

.PHONY: run test check build deps configure clean fuzz bench sanitize package cluster

# What each command installs: scripts/install-deps.sh names the packages
# (TAVERNLY_SKIP_DEPS=1 only says what it would install).
PURPOSE ?= run
deps:
	@scripts/install-deps.sh $(PURPOSE)

configure: deps
	@cmake -S . -B $(BUILD) $(call generator,$(BUILD)) $(OPTIONS) $(LAUNCHER) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# The client and the server only: no test is built for `make run`.
run: configure
	@cmake --build $(BUILD) -j $(JOBS) --target tavernly tavernly-server
	@scripts/run.sh $(BUILD)

# Two servers on a throw-away PostgreSQL behind the front (scripts/front.sh),
# in a network namespace of their own, then the client.
cluster: PURPOSE = cluster
cluster: build
	@scripts/cluster.sh $(BUILD)

# The suite, once.
test: PURPOSE = test
test: build
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# What CI adds to the suite: the suite under the sanitizers and every fuzzer
# for a few seconds.
check: sanitize
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=$(CHECK_FUZZ_SECONDS)
CHECK_FUZZ_SECONDS ?= 5

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer,
# in a folder of its own.
SANITIZE = -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
sanitize: PURPOSE = test
sanitize: deps
	@cmake -S . -B build-asan $(call generator,build-asan) -DCMAKE_BUILD_TYPE=Debug -DTAVERNLY_WERROR=$(WERROR) \
	  -DTAVERNLY_BUILD_BENCH=OFF $(LAUNCHER) \
	  -DCMAKE_CXX_FLAGS="$(SANITIZE)" -DCMAKE_EXE_LINKER_FLAGS="$(SANITIZE)" >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@cd build-asan && QT_QPA_PLATFORM=offscreen \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

FUZZ_SECONDS ?= 60
fuzz: PURPOSE = fuzz
fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B build-fuzz $(call generator,build-fuzz) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTAVERNLY_FUZZ=ON -DTAVERNLY_BUILD_TESTS=OFF -DTAVERNLY_BUILD_BENCH=OFF -DTAVERNLY_WERROR=OFF \
	  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" >/dev/null
	@cmake --build build-fuzz -j $(JOBS) --target fuzzers
	@scripts/fuzz.sh build-fuzz $(FUZZ_SECONDS)

# Every benchmark with its figures (headless Chromium for the side-by-side
# page load, ab and wrk for the server's pages).
bench: PURPOSE = bench
bench: BENCH = ON
bench: build
	@scripts/bench.sh $(BUILD)

# Both Debian packages, checked by lintian (no error or warning allowed).
package: PURPOSE = package
package: build
	@cd $(BUILD) && cpack
	@lintian --fail-on error,warning $(BUILD)/tavernly_*.deb $(BUILD)/tavernly-server_*.deb

clean:
	rm -rf $(BUILD)

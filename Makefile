# Two commands do everything: `make run` and `make test`.
BUILD   ?= build
JOBS    ?= $(shell nproc)
CMAKE_FLAGS ?=
# Rebuilds after a clean clone reuse earlier compilations when ccache is there.
LAUNCHER := $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

.PHONY: run test build deps configure clean fuzz bench sanitize package cluster

# What each command installs: scripts/install-deps.sh names the packages.
PURPOSE ?= run
deps:
	@scripts/install-deps.sh $(PURPOSE)

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LAUNCHER) $(CMAKE_FLAGS)

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@scripts/run.sh $(BUILD)

# Two servers on a throw-away PostgreSQL behind HAProxy, then the client.
cluster: PURPOSE = cluster
cluster: build
	@scripts/cluster.sh $(BUILD)

test: CMAKE_FLAGS += -DTAVERNLY_WERROR=ON
test: PURPOSE = test
test: build
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)
	@$(MAKE) --no-print-directory sanitize

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
SANITIZE = -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
sanitize: PURPOSE = test
sanitize: deps
	@cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAVERNLY_WERROR=ON -DTAVERNLY_BUILD_BENCH=OFF $(LAUNCHER) \
	  -DCMAKE_CXX_FLAGS="$(SANITIZE)" -DCMAKE_EXE_LINKER_FLAGS="$(SANITIZE)"
	@cmake --build build-asan -j $(JOBS)
	@cd build-asan && QT_QPA_PLATFORM=offscreen \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

FUZZ_SECONDS ?= 60
fuzz: PURPOSE = fuzz
fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTAVERNLY_FUZZ=ON -DTAVERNLY_BUILD_TESTS=OFF -DTAVERNLY_BUILD_BENCH=OFF \
	  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined"
	@cmake --build build-fuzz -j $(JOBS) --target fuzzers
	@scripts/fuzz.sh build-fuzz $(FUZZ_SECONDS)

# Every benchmark with its figures (headless Chromium for the side-by-side
# page load, ab and wrk for the server's pages).
bench: PURPOSE = bench
bench: build
	@scripts/bench.sh $(BUILD)

# Both Debian packages, checked by lintian (no error or warning allowed).
package: PURPOSE = package
package: build
	@cd $(BUILD) && cpack
	@lintian --fail-on error,warning $(BUILD)/tavernly_*.deb $(BUILD)/tavernly-server_*.deb

clean:
	rm -rf $(BUILD)

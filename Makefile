# The two commands a newcomer needs: `make test` and `make demo`.
BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_FUZZ ?= build-fuzz
BUILD_TSAN ?= build-tsan
BUILD_PKG  ?= build-pkg
SOAK_ROUNDS ?= 150
SOAK_SEED  ?=
FUZZ_SECONDS ?= 60
JOBS       ?= $(shell nproc)

.PHONY: all deps build test test-fast test-asan fuzz soak tsan demo bench package clean format windows windows-test windows-package

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# Normal build and tests (and backups with the agent under Valgrind memcheck), then the
# same suite under ASan + UBSan.
test: test-fast test-asan

test-fast: build
	@bash scripts/checksrc.sh
	@bash scripts/checkformat.sh
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	@bash scripts/valgrind.sh $(BUILD)

test-asan: deps
	@cmake -S . -B $(BUILD_ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVARNO_SANITIZE=ON -DVARNO_BENCH=OFF >/dev/null
	@cmake --build $(BUILD_ASAN) -j $(JOBS)
	@cd $(BUILD_ASAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

# Minutes of faults: SOAK_ROUNDS faulty rounds of the seeded soak (SOAK_SEED=N replays a
# printed seed; `make test` runs three), then the process tests under ThreadSanitizer.
soak: build
	@cd $(BUILD) && VARNO_SOAK_ROUNDS=$(SOAK_ROUNDS) VARNO_SOAK_SEED=$(SOAK_SEED) \
	  ./tests/process/process_tests --gtest_filter='Soak.*'
	@JOBS=$(JOBS) bash scripts/tsan.sh $(BUILD_TSAN)

tsan:
	@JOBS=$(JOBS) bash scripts/tsan.sh $(BUILD_TSAN)

# Each libFuzzer target (clang, ASan + UBSan) for FUZZ_SECONDS over a copy of its seeds.
fuzz:
	@JOBS=$(JOBS) bash scripts/fuzz.sh $(BUILD_FUZZ) $(FUZZ_SECONDS)

demo: build
	@if [ -x scripts/demo.sh ]; then bash scripts/demo.sh $(BUILD); \
	 else echo "make demo is not available yet: it arrives with the backup engine."; fi

# The Debian package (varno_<version>_<arch>.deb in $(BUILD_PKG)), built in its own folder
# without tests, fuzzers or benchmarks: only what the package holds.
package: deps
	@cmake -S . -B $(BUILD_PKG) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNO_TESTS=OFF -DVARNO_BENCH=OFF >/dev/null
	@cmake --build $(BUILD_PKG) -j $(JOBS)
	@cd $(BUILD_PKG) && cpack -G DEB >/dev/null && ls -1 $(CURDIR)/$(BUILD_PKG)/varno_*.deb

# The Windows programs, cross-built with mingw-w64 into build-win/, and their tests under
# Wine.
BUILD_WIN ?= build-win
windows:
	@bash scripts/windows.sh $(BUILD_WIN)

windows-test: windows
	@bash scripts/windows-test.sh $(BUILD_WIN)

# The Windows installer (varno-<version>-x64.msi in build-win/, see docs/operating.md).
windows-package: windows
	@ls -1 $(CURDIR)/$(BUILD_WIN)/varno-*-x64.msi

# End-to-end speed against restic and borg (never part of `make test`): corpora and
# repositories under BENCH_DIR (default $(BUILD)/bench); `make bench BENCH_ARGS=--quick`
# for a smoke run on small corpora.
bench: build
	@bash scripts/bench.sh $(BUILD) $(BENCH_ARGS)

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_FUZZ) $(BUILD_TSAN) $(BUILD_PKG)

# Entry points for people and CI. Every target installs what is missing first.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 300
SOAK_MINUTES ?= 10
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=
WERROR     := $(if $(CI),-DTELVANE_WARNINGS_AS_ERRORS=ON,)
# CI's optimised tree keeps line tables only: a failing test's backtrace
# still names files and lines, and full debug info would be a quarter of
# the tree's compile time.
CI_DEBUG_INFO := $(if $(CI),'-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG',)
CONFIGURE  = cmake -G Ninja $(WERROR) $(CMAKE_ARGS) --log-level=WARNING

.PHONY: deps configure build test check build-asan test-asan check-asan build-tsan test-tsan check-tsan \
  fuzz fuzz-ci fuzz-build soak bench run demo screenshot package format format-check lint clean

deps:
	@scripts/install-deps

configure: deps
	@$(CONFIGURE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CI_DEBUG_INFO)

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@$(MAKE) --no-print-directory check

# The check-* targets run the suite of a tree that is built already (CI runs
# one tree's suite while the next tree builds).
check:
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The same suite with AddressSanitizer and UndefinedBehaviorSanitizer.
build-asan: deps
	@$(CONFIGURE) -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTELVANE_SANITIZE=address,undefined \
	  -DTELVANE_BUILD_BENCH=OFF
	@cmake --build $(ASAN_BUILD) -j $(JOBS)

test-asan: build-asan
	@$(MAKE) --no-print-directory check-asan

check-asan:
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

# The core's tests with ThreadSanitizer (the GUI is left out: Qt is not built with it).
build-tsan: deps
	@$(CONFIGURE) -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTELVANE_SANITIZE=thread \
	  -DTELVANE_BUILD_BENCH=OFF -DTELVANE_BUILD_GUI=OFF
	@cmake --build $(TSAN_BUILD) -j $(JOBS)

test-tsan: build-tsan
	@$(MAKE) --no-print-directory check-tsan

check-tsan:
	@cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS)

# libFuzzer targets (fuzz/), built with clang, ASan and UBSan, each run for
# FUZZ_SECONDS, FUZZ_JOBS of them side by side; any finding fails. fuzz-ci is
# the short run CI makes.
FUZZ_JOBS ?= 1
FUZZ = FUZZ_BUILD=$(FUZZ_BUILD) FUZZ_JOBS=$(FUZZ_JOBS) JOBS=$(JOBS) CMAKE_ARGS="$(WERROR) $(CMAKE_ARGS)" scripts/fuzz

fuzz: deps
	@$(FUZZ) $(FUZZ_SECONDS)

fuzz-ci: deps
	@$(FUZZ) 60

fuzz-build: deps
	@$(FUZZ) build

# SOAK_MINUTES against a real mosquitto restarted every 30 s (not in CI).
soak: configure
	@cmake --build $(BUILD) -j $(JOBS) --target soak_driver
	@SOAK_MINUTES=$(SOAK_MINUTES) scripts/soak $(BUILD)

bench: configure
	@cmake --build $(BUILD) -j $(JOBS)
	@scripts/run-benchmarks $(BUILD)

run: build
	@$(BUILD)/src/app/telvane

demo: build
	@scripts/demo $(BUILD)

screenshot: build
	@scripts/screenshot $(BUILD)

# The Debian package, telvane_<version>_<arch>.deb, in this folder.
package: build
	@cpack --config $(BUILD)/CPackConfig.cmake -B $(BUILD)/package
	@cp $(BUILD)/package/telvane_*.deb .
	@ls telvane_*.deb

# The sources formatted by .clang-format; format-check fails on any difference.
FORMAT_FILES = $(shell git ls-files 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'bench/*.cpp' 'bench/*.h' 'fuzz/*.cpp' 'fuzz/*.h')

format: deps
	@clang-format-14 -i $(FORMAT_FILES)

format-check: deps
	@clang-format-14 --dry-run --Werror $(FORMAT_FILES)

# clang-tidy with .clang-tidy over every source of the build, findings are
# errors. It needs the compile commands only: no source includes generated code.
lint: configure
	@scripts/lint $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)

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

.PHONY: deps configure build test test-asan test-tsan fuzz fuzz-ci soak bench run demo screenshot package format format-check lint clean

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(WERROR) $(CMAKE_ARGS) --log-level=WARNING

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The same suite with AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTELVANE_SANITIZE=address,undefined \
	  -DTELVANE_BUILD_BENCH=OFF $(WERROR) $(CMAKE_ARGS) --log-level=WARNING
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

# The core's tests with ThreadSanitizer (the GUI is left out: Qt is not built with it).
test-tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTELVANE_SANITIZE=thread \
	  -DTELVANE_BUILD_BENCH=OFF -DTELVANE_BUILD_GUI=OFF $(WERROR) $(CMAKE_ARGS) --log-level=WARNING
	@cmake --build $(TSAN_BUILD) -j $(JOBS)
	@cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS)

# libFuzzer targets (fuzz/), built with clang, ASan and UBSan, each run for
# FUZZ_SECONDS; any finding fails. fuzz-ci is the short run CI makes.
fuzz: deps
	@FUZZ_BUILD=$(FUZZ_BUILD) JOBS=$(JOBS) CMAKE_ARGS="$(WERROR) $(CMAKE_ARGS)" scripts/fuzz $(FUZZ_SECONDS)

fuzz-ci: deps
	@FUZZ_BUILD=$(FUZZ_BUILD) JOBS=$(JOBS) CMAKE_ARGS="$(WERROR) $(CMAKE_ARGS)" scripts/fuzz 60

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

# clang-tidy with .clang-tidy over every source of the build, findings are errors.
lint: configure
	@cmake --build $(BUILD) -j $(JOBS)
	@scripts/lint $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)

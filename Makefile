# The two commands of the README: `make run` and `make test`. Both install missing packages first.
BUILD      := build
BUILD_ASAN := build-asan
BUILD_TSAN := build-tsan
BUILD_FUZZ := build-fuzz
CMAKE_GEN  := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

# ThreadSanitizer of this compiler cannot map its shadow memory under full address-space
# randomisation on recent kernels; running without it is the documented remedy.
NO_ASLR := setarch $(shell uname -m) -R

.PHONY: all deps build stage run package test test-sanitizers test-asan test-tsan test-fuzz fuzz fuzz-build soak bench format clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN)
	cmake --build $(BUILD)

stage: build
	cmake --build $(BUILD) --target stage

run: stage
	@scripts/run-staged.sh $(BUILD)/stage

# The portable archive of the application folder, calorview-<version>-linux-x86_64.tar.gz, and
# the Debian package calorview_<version>_amd64.deb, in $(BUILD)/ (packaging/CMakeLists.txt).
package: build
	cmake --build $(BUILD) --target package

# The sanitizer builds first; the normal build runs everything, last, so the output ends with
# the summary of the whole suite.
test: build test-sanitizers test-fuzz
	QT_QPA_PLATFORM=offscreen ctest --test-dir $(BUILD) --output-on-failure -j 2

# AddressSanitizer + UndefinedBehaviorSanitizer run every test, and the random driver, which only
# this build registers; ThreadSanitizer runs the tests labelled threaded. LeakSanitizer passes
# over the leaks listed in tests/lsan.supp, ThreadSanitizer over the Qt internals in
# tests/tsan.supp; both name only third-party libraries.
# -O1 -g1 (line tables: every frame of a report keeps its file and line) compiles the whole suite
# in about two thirds of RelWithDebInfo's -O2 -g time.
ASAN_CONFIG := -DCALORVIEW_SANITIZER=address -DCALORVIEW_BENCHMARKS=OFF \
	-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG"
ASAN_ENV    := ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 QT_QPA_PLATFORM=offscreen

test-sanitizers: test-asan test-tsan

test-asan: deps
	cmake -S . -B $(BUILD_ASAN) $(CMAKE_GEN) $(ASAN_CONFIG)
	cmake --build $(BUILD_ASAN)
	$(ASAN_ENV) ctest --test-dir $(BUILD_ASAN) --output-on-failure -j 2

test-tsan: deps
	cmake -S . -B $(BUILD_TSAN) $(CMAKE_GEN) -DCALORVIEW_SANITIZER=thread
	cmake --build $(BUILD_TSAN) --target threaded-tests
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp \
	QT_QPA_PLATFORM=offscreen \
	$(NO_ASLR) ctest --test-dir $(BUILD_TSAN) -L threaded --output-on-failure -j 2

# libFuzzer targets (docs/fuzzing.md): briefly and with a fixed seed in `make test`, five minutes
# each in `make fuzz`.
fuzz-build: deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) $(CMAKE_GEN) -DCALORVIEW_BENCHMARKS=OFF -DCALORVIEW_FUZZ=ON
	cmake --build $(BUILD_FUZZ) --target fuzzers

test-fuzz: fuzz-build
	fuzz/run-fuzzers.sh $(BUILD_FUZZ) 25 1

fuzz: fuzz-build
	fuzz/run-fuzzers.sh $(BUILD_FUZZ) 300

# Under AddressSanitizer (logs in $(BUILD_ASAN)/): the hot-plug soak at length, then the random
# driver of the main window for DRIVER_SECONDS with seed DRIVER_SEED (0: a new one, printed). Then
# the staged program: ended by SIGTERM at random moments STRESS_RUNS times, and on the demo camera
# for SOAK_MINUTES with its memory sampled every minute (docs/soak.md).
SOAK_MINUTES   ?= 30
DRIVER_SECONDS ?= 600
DRIVER_SEED    ?= 0
STRESS_RUNS    ?= 50
soak: stage
	cmake -S . -B $(BUILD_ASAN) $(CMAKE_GEN) $(ASAN_CONFIG)
	cmake --build $(BUILD_ASAN) --target video_hotplug_soak_tests client_random_driver_tests
	CALORVIEW_SOAK_CYCLES=1000 $(ASAN_ENV) \
	$(BUILD_ASAN)/tests/client/video/video_hotplug_soak_tests >$(BUILD_ASAN)/soak.log 2>&1 \
	|| { tail -n 40 $(BUILD_ASAN)/soak.log; exit 1; }
	grep -E 'cycles in' $(BUILD_ASAN)/soak.log
	CALORVIEW_DRIVER_SEED=$(DRIVER_SEED) CALORVIEW_DRIVER_SECONDS=$(DRIVER_SECONDS) $(ASAN_ENV) \
	$(BUILD_ASAN)/tests/client/app/client_random_driver_tests
	scripts/sigterm-stress.sh $(BUILD)/stage $(STRESS_RUNS)
	scripts/soak-staged.sh $(BUILD)/stage $(SOAK_MINUTES)

bench: stage
	for b in $$(find $(BUILD)/bench -name '*_bench' -type f -executable | sort); do $$b || exit 1; done
	QT_QPA_PLATFORM=offscreen $(BUILD)/bench/client/calorview_frame_latency 25 | grep -E '^fps|latency'
	scripts/bench-program-cpu.sh $(BUILD)/stage

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_TSAN) $(BUILD_FUZZ)

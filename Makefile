# The project's commands. `make test` is what CI runs.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: deps configure build test demo bench asan-test tsan-test clean format format-check

deps:
	bash scripts/install-deps

configure:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: deps build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

demo: deps build
	bash scripts/demo $(BUILD)

bench: deps build
	bash scripts/bench $(BUILD)

asan-test: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DTESSOMAR_SANITIZE=ON -DTESSOMAR_BENCH=OFF -DTESSOMAR_VIEWER=OFF $(CMAKE_ARGS)
	LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp \
	  ctest --output-on-failure -j $(JOBS) --timeout 600

# The audio thread against the UI thread: the audio tests and the viewer pipeline under
# ThreadSanitizer (only the unit-test binary is built).
TSAN_FILTER ?= Audio*:SoundDevice*:ControlAudio*:Viewer*:Vido*:Control*:Wakeup*
tsan-test: deps
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DTESSOMAR_TSAN=ON -DTESSOMAR_BENCH=OFF -DTESSOMAR_VIEWER=OFF $(CMAKE_ARGS)
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target unit_tests
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  $(TSAN_BUILD)/bin/unit_tests --gtest_filter='$(TSAN_FILTER)'

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)

# The checked-in .clang-format over every C++ file of ours.
FORMAT_FILES = $(shell git ls-files '*.cpp' '*.h')
format:
	clang-format -i $(FORMAT_FILES)

format-check:
	clang-format --dry-run -Werror $(FORMAT_FILES)

# libFuzzer targets (clang): build them and run each briefly as a smoke test.
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 20
.PHONY: fuzz
fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DTESSOMAR_FUZZ=ON \
	  -DTESSOMAR_BENCH=OFF -DTESSOMAR_VIEWER=OFF $(CMAKE_ARGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets
	set -e; for f in $(FUZZ_BUILD)/bin/*_fuzz; do \
	  name=$$(basename $$f); mkdir -p $(FUZZ_BUILD)/corpus/$$name; \
	  echo "fuzz: $$name for $(FUZZ_SECONDS) s"; \
	  $$f $(FUZZ_BUILD)/corpus/$$name fuzz/corpus/$$name -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1; \
	done

# The project's commands. `make test` is what CI runs.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: deps configure build test demo bench asan-test clean format format-check

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
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 600

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)

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

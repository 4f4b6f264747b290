# Set-up and everyday commands; everything builds out of tree under build*/.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all build run test test-asan bench fuzz examples clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Compare the shipped example clouds; the export and its log go under build/.
run: build
	./$(BUILD)/ptdelta -r examples/reference.txt -c examples/test.txt -o $(BUILD)/example_result.ply

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The same tests built with AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer.
test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DPTDELTA_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)

# Release build with the benchmark drivers, then the timings, memory, full-scan
# ratio and peer as a Markdown table (also written to $(BUILD)/bench/results.md).
bench:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DPTDELTA_BENCH=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target ptdelta bench_make_clouds bench_stages
	bench/run.sh $(BUILD)

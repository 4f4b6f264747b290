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

# Builds the tool alone (the tests are built by `make test`), then compares the
# shipped example clouds; the export, its log and the HTML report go under build/.
run: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target ptdelta
	./$(BUILD)/ptdelta -r examples/reference.txt -c examples/test.txt -o $(BUILD)/example_result.ply \
	  -html $(BUILD)/example_result.html

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
	cmake --build $(BUILD) -j $(JOBS) --target ptdelta bench_make_clouds bench_stages bench_load bench_index bench_laz_decode
	bench/run.sh $(BUILD)

# libFuzzer runs (clang; Debian: clang libclang-rt-14-dev), FUZZ_SECONDS per target.
# Each target starts from its committed corpus under tests/fuzz/corpus/ and works in
# $(FUZZ_BUILD)/corpus/. Afterwards the committed corpus is replaced by the smallest set
# of inputs found that covers the same code (so it stays a few dozen small files), and
# any crash is copied to tests/fuzz/regressions/ (both are replayed by `make test`);
# the target's log is $(FUZZ_BUILD)/<target>.log.
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= text_scanner ply_header ply_body whole_run pcd_reader las_reader scanner_text laz_reader
FUZZ_FLAGS   ?= -max_len=4096 -timeout=10 -rss_limit_mb=2048 -close_fd_mask=3

fuzz:
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DPTDELTA_FUZZ=ON -DPTDELTA_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) $(addprefix --target ,$(addsuffix _fuzz,$(FUZZ_TARGETS)))
	@set -e; found=""; for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t; \
	  echo "== $$t: $(FUZZ_SECONDS) s"; \
	  status=0; ./$(FUZZ_BUILD)/$${t}_fuzz $(FUZZ_FLAGS) -max_total_time=$(FUZZ_SECONDS) \
	    -artifact_prefix=$(FUZZ_BUILD)/$$t- $(FUZZ_BUILD)/corpus/$$t tests/fuzz/corpus/$$t \
	    > $(FUZZ_BUILD)/$$t.log 2>&1 || status=$$?; \
	  grep -E '^Done|ERROR|SUMMARY' $(FUZZ_BUILD)/$$t.log || true; \
	  rm -rf $(FUZZ_BUILD)/min/$$t; mkdir -p $(FUZZ_BUILD)/min/$$t; \
	  if ./$(FUZZ_BUILD)/$${t}_fuzz $(FUZZ_FLAGS) -use_counters=0 -set_cover_merge=1 $(FUZZ_BUILD)/min/$$t \
	       tests/fuzz/corpus/$$t $(FUZZ_BUILD)/corpus/$$t > $(FUZZ_BUILD)/$$t.merge.log 2>&1 \
	     && [ -n "$$(ls $(FUZZ_BUILD)/min/$$t)" ]; then \
	    rm -f tests/fuzz/corpus/$$t/*; cp $(FUZZ_BUILD)/min/$$t/* tests/fuzz/corpus/$$t/; \
	  fi; \
	  for a in $(FUZZ_BUILD)/$$t-crash-* $(FUZZ_BUILD)/$$t-leak-*; do \
	    [ -e "$$a" ] || continue; mkdir -p tests/fuzz/regressions/$$t; cp "$$a" tests/fuzz/regressions/$$t/; \
	  done; \
	  if [ $$status -ne 0 ]; then found="$$found $$t"; fi; \
	done; \
	if [ -n "$$found" ]; then echo "crashes found by:$$found (see $(FUZZ_BUILD)/*.log)"; exit 1; fi

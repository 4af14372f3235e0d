# Convenience targets over CMake. BUILD (default build/) is the normal build,
# build-asan/ the sanitizer build.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all programs test test-nocuda test-asan example bench bench-reference bench-mpi bench-met fuzz fuzz-merge clean

all:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DMINQUE_BUILD_TESTS=ON -DMINQUE_BUILD_BENCH=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# The programs alone, without the tests and benchmarks (and their libraries).
programs:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DMINQUE_BUILD_TESTS=OFF -DMINQUE_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target minque minque-cov minque-var minque-model minque-example-data

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The host-only build (no CUDA), which must pass the same tests.
test-nocuda:
	cmake -S . -B build-nocuda -DCMAKE_BUILD_TYPE=Release -DMINQUE_CUDA=OFF -DMINQUE_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-nocuda -j $(JOBS)
	cd build-nocuda && ctest --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMINQUE_SANITIZE=ON -DMINQUE_CUDA=OFF -DMINQUE_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

example: all
	examples/run_example.sh $(BUILD)

bench: all
	$(BUILD)/bench/minque_sherman_bench
	bench/run_reference_case.sh $(BUILD)
	bench/run_example_case.sh $(BUILD)
	bench/run_front_door_case.sh $(BUILD)
	bench/run_bootstrap_case.sh $(BUILD)
	bench/run_met_series.sh $(BUILD)
	$(BUILD)/bench/minque-factor-candidates

# The estimator's growth in n alone; BASELINE=path/to/an/earlier/minque runs
# that program side by side (up to n = 16000).
bench-met: all
	bench/run_met_series.sh $(BUILD)

# The reference case over 2 MPI ranks against one process, and one pass's
# time for n = 2000, 4000 and 8000 (after `make bench`).
bench-mpi: all
	bench/run_mpi_case.sh $(BUILD)

# The same reference case plus one run of the straightforward kernels
# (--reference-kernels), for the comparison of times and reports.
bench-reference: all
	bench/run_reference_case.sh $(BUILD) --with-reference

# libFuzzer campaigns: each harness for FUZZ_SECONDS, new inputs kept in
# build-fuzz/corpus (the committed corpora in tests/fuzz/corpus are read only).
# `make fuzz-merge` minimises what was found into the committed corpora.
FUZZ_SECONDS ?= 60
FUZZ_HARNESSES = model_file data_file variance_file design_data kernel_differential
fuzz:
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	      -DMINQUE_FUZZ=ON -DMINQUE_CUDA=OFF -DMINQUE_BUILD_TESTS=OFF -DMINQUE_BUILD_BENCH=OFF
	cmake --build build-fuzz -j $(JOBS)
	for h in $(FUZZ_HARNESSES); do \
	  mkdir -p build-fuzz/corpus/$$h && \
	  build-fuzz/tests/fuzz/$${h}_fuzzer build-fuzz/corpus/$$h tests/fuzz/corpus/$$h \
	    -max_total_time=$(FUZZ_SECONDS) -close_fd_mask=3 -print_final_stats=1 || exit 1; \
	done

fuzz-merge:
	for h in $(FUZZ_HARNESSES); do \
	  build-fuzz/tests/fuzz/$${h}_fuzzer -merge=1 tests/fuzz/corpus/$$h build-fuzz/corpus/$$h -close_fd_mask=3; \
	done

clean:
	rm -rf $(BUILD) build-asan build-nocuda build-reference build-gpu build-fuzz

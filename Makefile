# Convenience targets over CMake. BUILD (default build/) is the normal build,
# build-asan/ the sanitizer build.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all test test-nocuda test-asan example bench bench-reference clean

all:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The host-only build (no CUDA), which must pass the same tests.
test-nocuda:
	cmake -S . -B build-nocuda -DCMAKE_BUILD_TYPE=Release -DMINQUE_CUDA=OFF -DMINQUE_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-nocuda -j $(JOBS)
	cd build-nocuda && ctest --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMINQUE_SANITIZE=ON -DMINQUE_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

example: all
	examples/run_example.sh $(BUILD)

bench: all
	$(BUILD)/bench/minque_sherman_bench
	bench/run_reference_case.sh $(BUILD)

# The same reference case with a build of the straightforward kernels, for the
# comparison of times and reports.
bench-reference: all
	cmake -S . -B build-reference -DCMAKE_BUILD_TYPE=Release -DMINQUE_REFERENCE_KERNELS=ON -DMINQUE_BUILD_TESTS=OFF -DMINQUE_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-reference -j $(JOBS)
	bench/run_reference_case.sh $(BUILD) build-reference

clean:
	rm -rf $(BUILD) build-asan build-nocuda build-reference build-gpu

# Convenience targets over CMake. BUILD (default build/) is the normal build,
# build-asan/ the sanitizer build.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all test test-asan example bench clean

all:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMINQUE_SANITIZE=ON -DMINQUE_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

example: all
	examples/run_example.sh $(BUILD)

bench: all
	$(BUILD)/bench/minque_sherman_bench

clean:
	rm -rf $(BUILD) build-asan

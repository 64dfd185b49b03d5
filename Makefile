# The two commands of the README, and the steps they are made of.
#   make demo   install, build, register and run the product's main job
#   make check  install, build both configurations and run every test
SHELL := /bin/bash
BUILD := build
JOBS  ?= $(shell nproc)
CMAKE_FLAGS ?= -DVELMORA_WERROR=ON

.PHONY: all check demo bench bench-parser bench-host setup prefix native win32 test-native test-win32

all: native win32

setup:
	tools/setup.sh

prefix: setup
	tools/wineprefix.sh

native: setup
	cmake -S . -B $(BUILD)/native -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	      -DVELMORA_FUZZ=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD)/native -j$(JOBS)

win32: setup
	cmake -S . -B $(BUILD)/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD)/win32 -j$(JOBS)

test-native: native
	ctest --test-dir $(BUILD)/native --output-on-failure -j$(JOBS)

test-win32: win32 prefix
	tools/with-wineserver ctest --test-dir $(BUILD)/win32 --output-on-failure

check: test-native test-win32

demo: win32 prefix
	tools/demo.sh

# Measurements, not tests: they print figures and fail on nothing but errors.
bench: bench-parser bench-host

bench-parser: setup
	cmake -S . -B $(BUILD)/bench -DCMAKE_BUILD_TYPE=Release -DVELMORA_SANITIZE=OFF \
	      -DVELMORA_BENCH=ON >/dev/null
	cmake --build $(BUILD)/bench -j$(JOBS)
	tools/bench.sh $(BUILD)/bench

bench-host: win32 prefix
	BUILD=$(BUILD) tools/host-bench.sh
	BUILD=$(BUILD) tools/host-soak.sh

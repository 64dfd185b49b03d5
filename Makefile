# The two commands of the README, and the steps they are made of.
#   make demo   install, build, register and run the product's main job
#               (the 32-bit DLL; make demo DEMO_ARCH=win64 serves the 64-bit one)
#   make check  install, build every configuration and run every test
SHELL := /bin/bash
BUILD := build
JOBS  ?= $(shell nproc)
CMAKE_FLAGS ?= -DVELMORA_WERROR=ON
DEMO_ARCH ?= win32

.PHONY: all check demo bench bench-parser bench-host setup prefix prefix64 native win32 win64 \
        test-native test-win32 test-win64

all: native win32 win64

setup:
	tools/setup.sh

prefix: setup
	tools/wineprefix.sh

# 64-bit Wine: its prefix runs 64-bit programs and, beside them, 32-bit ones.
prefix64: setup
	VELMORA_WINE_ARCH=win64 tools/wineprefix.sh

native: setup
	cmake -S . -B $(BUILD)/native -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	      -DVELMORA_FUZZ=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD)/native -j$(JOBS)

win32: setup
	cmake -S . -B $(BUILD)/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD)/win32 -j$(JOBS)

# The same sources for 64-bit Windows. Its side-by-side registration test
# takes the 32-bit DLL of the win32 configuration.
win64: setup
	cmake -S . -B $(BUILD)/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake $(CMAKE_FLAGS) \
	      -DVELMORA_WIN32_DLL=$(abspath $(BUILD))/win32/dll/velmora32.dll >/dev/null
	cmake --build $(BUILD)/win64 -j$(JOBS)

# Then objects called from many threads once more, under ThreadSanitizer
# (which excludes AddressSanitizer): a configuration that builds that test only.
test-native: native
	ctest --test-dir $(BUILD)/native --output-on-failure -j$(JOBS)
	cmake -S . -B $(BUILD)/tsan -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	      -DVELMORA_SANITIZE=thread $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD)/tsan -j$(JOBS) --target shared_object-test
	ctest --test-dir $(BUILD)/tsan --output-on-failure -R '^shared_object-test$$'

test-win32: win32 prefix
	VELMORA_WINE_ARCH=win32 tools/with-wineserver ctest --test-dir $(BUILD)/win32 --output-on-failure

test-win64: win32 win64 prefix64
	VELMORA_WINE_ARCH=win64 tools/with-wineserver ctest --test-dir $(BUILD)/win64 --output-on-failure

check: test-native test-win32 test-win64

demo: $(DEMO_ARCH) $(if $(filter win64,$(DEMO_ARCH)),prefix64,prefix)
	VELMORA_WINE_ARCH=$(DEMO_ARCH) tools/demo.sh

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

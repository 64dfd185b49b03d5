# The two commands of the README, and the steps they are made of.
#   make demo   install, build, register and run the product's main job
#               (the 32-bit DLL where the machine runs 32-bit programs, else
#               the 64-bit one; DEMO_ARCH=win32 or win64 picks one)
#   make check  install, build every configuration and run every test
SHELL := /bin/bash
BUILD := build
JOBS  ?= $(shell nproc)
CMAKE_FLAGS ?= -DVELMORA_WERROR=ON
# The demo's DLL: win32 or win64; empty picks win32 where the machine runs
# 32-bit programs itself (tools/runs-32bit.sh), else win64. DEMO_ARCH=win32
# there serves the 32-bit DLL through CPU emulation (tools/with-qemu-i386).
DEMO_ARCH ?=

.PHONY: all check demo dist bench bench-parser bench-host setup prefix prefix64 native win32 win64 \
        test-native test-win32 test-win64

all: native win32 win64

setup:
	tools/setup.sh

# Where the kernel runs no 32-bit program, 32-bit Wine runs in a private
# namespace through qemu-i386 (tools/with-qemu-i386), and the prefixes are made
# there (tools/wineprefix.sh goes through it by itself).
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

# Natively where this machine runs 32-bit programs, else under qemu-i386 in a
# private namespace (tools/with-qemu-i386). Only where neither can be had (a
# kernel before 6.7, no user namespaces) is the suite skipped, and said to be.
test-win32: win32
	@status=0; tools/with-qemu-i386 true || status=$$?; \
	if [ $$status -eq 77 ]; then \
	    echo "test-win32: SKIPPED: this machine runs no 32-bit programs and cannot emulate them (above), so 32-bit Wine cannot start"; \
	else \
	    $(MAKE) --no-print-directory prefix && \
	    VELMORA_WINE_ARCH=win32 tools/with-qemu-i386 tools/with-wineserver \
	        ctest --test-dir $(BUILD)/win32 --output-on-failure; \
	fi

# The 32-bit parts (side-by-side registration, the packages' 32-bit rows) run
# through the same emulation where the machine needs it.
test-win64: win32 win64 prefix64
	VELMORA_WINE_ARCH=win64 tools/with-qemu-i386 --if-possible tools/with-wineserver \
	    ctest --test-dir $(BUILD)/win64 --output-on-failure

check: test-native test-win32 test-win64

# The release for administrators (docs/iis.md): velmora32-<version>.zip and the
# x64 and x86 MSI packages into dist/. It builds what it ships and nothing
# else: the 32-bit DLL (built, never run) and, in the 64-bit configuration,
# the 64-bit DLL and the packages.
dist: setup
	cmake -S . -B $(BUILD)/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD)/win32 -j$(JOBS) --target velmora32 -- --no-print-directory
	cmake -S . -B $(BUILD)/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake $(CMAKE_FLAGS) \
	      -DVELMORA_WIN32_DLL=$(abspath $(BUILD))/win32/dll/velmora32.dll >/dev/null
	rm -rf dist
	cmake --build $(BUILD)/win64 -j$(JOBS) --target dist -- --no-print-directory

# The demo builds what it serves, in one configuration: the DLL, the ASP host
# and the stand-in the host runs pages with (mtxex.dll); no test program.
DEMO_TARGETS := velmora32 asphost mtxex

demo: setup
	@arch="$(DEMO_ARCH)"; \
	if [ -z "$$arch" ]; then if tools/runs-32bit.sh; then arch=win32; else arch=win64; fi; fi; \
	case "$$arch" in \
	    win32) toolchain=mingw-i686 prefix=prefix folder=wineprefix ;; \
	    win64) toolchain=mingw-x86_64 prefix=prefix64 folder=wineprefix64 ;; \
	    *) echo "demo: DEMO_ARCH is win32 or win64, not $$arch" >&2; exit 2 ;; \
	esac; \
	echo "demo: configuring $(BUILD)/$$arch"; \
	cmake -S . -B $(BUILD)/$$arch --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/$$toolchain.cmake $(CMAKE_FLAGS) >/dev/null && \
	echo "demo: building the $$arch DLL, the ASP host and mtxex.dll (a few minutes the first time)" && \
	cmake --build $(BUILD)/$$arch -j$(JOBS) --target $(DEMO_TARGETS) -- --no-print-directory && \
	echo "demo: preparing the Wine prefix $(BUILD)/$$folder" && \
	$(MAKE) --no-print-directory $$prefix && \
	VELMORA_WINE_ARCH=$$arch exec $$([ "$$arch" = win32 ] && echo tools/with-qemu-i386) tools/demo.sh

# Measurements, not tests: they print figures and fail on nothing but errors.
bench: bench-parser bench-host

bench-parser: setup
	cmake -S . -B $(BUILD)/bench -DCMAKE_BUILD_TYPE=Release -DVELMORA_SANITIZE=OFF \
	      -DVELMORA_BENCH=ON >/dev/null
	cmake --build $(BUILD)/bench -j$(JOBS)
	tools/bench.sh $(BUILD)/bench

# The 32-bit host where the machine runs 32-bit programs, else the 64-bit one.
bench-host: setup
	@arch=$$(tools/runs-32bit.sh && echo win32 || echo win64); \
	$(MAKE) --no-print-directory $$arch && export VELMORA_WINE_ARCH=$$arch BUILD=$(BUILD) && \
	tools/host-bench.sh && tools/host-soak.sh && tools/host-load.sh

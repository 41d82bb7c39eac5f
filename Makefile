# Thin front for the CMake build. `make demo` and `make test` work on a fresh
# machine: both install what the build needs first.
BUILD       ?= build
BUILD_ASAN  ?= build-asan
BUILD_WIN32 ?= build-win32
BUILD_BENCH ?= build-bench
BUILD_FUZZ  ?= build-fuzz
BUILD_TIDY  ?= build-tidy
JOBS        ?= $(shell nproc)
CMAKE_GEN   := -G Ninja

.PHONY: all deps build demo test test-asan test-valgrind soak win32 test-wine test-i686 bench bench-build bench-callgrind fuzz format format-check tidy clean \
        install package package-win32 test-package test-slurm

all: build

deps:
	scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# Renders the built-in demo scene into quintessalux-demo.png.
demo: build
	$(BUILD)/qxhost render

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Installs qxhost, the module, the docs and the examples under PREFIX
# (bin/, lib/quintessalux/, share/doc/quintessalux/, share/quintessalux/).
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# The Linux packages (CPack): $(BUILD)/quintessalux_<version>_amd64.deb, its
# dependencies found by dpkg-shlibdeps, and a .tar.gz of the same files.
package: build
	scripts/install-deps package
	cmake --build $(BUILD) --target package

# The Windows zip: $(BUILD_WIN32)/quintessalux-<version>-win32.zip with the
# library, qxhost.exe, the README, the licence and INSTALL-WINDOWS.txt.
package-win32: win32
	cmake --build $(BUILD_WIN32) --target package-win32

# Installs the .deb with apt-get, runs the installed qxhost from an empty
# folder (--version, info, the demo render), removes the package, and lists
# the Windows zip against the files it must hold.
test-package: package package-win32
	scripts/test-package $(BUILD) $(BUILD_WIN32)

# The README's Slurm job array run on a one-node Slurm cluster started here
# (slurm-wlm and munge, installed when missing), against a one-process render.
test-slurm: build
	scripts/install-deps slurm
	scripts/test-slurm $(BUILD)

# The whole suite again under AddressSanitizer, UndefinedBehaviorSanitizer and
# LeakSanitizer.
test-asan: deps
	cmake -S . -B $(BUILD_ASAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DQX_SANITIZE=ON
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(BUILD_ASAN) --output-on-failure -j $(JOBS)

# The end-to-end tests with every qxhost run under valgrind's memcheck. A
# memory error or a leak makes qxhost exit with 99, which fails the test that
# ran it; the reports are in $(BUILD)/valgrind/, one per process.
VALGRIND := valgrind -q --tool=memcheck --leak-check=full \
  --errors-for-leak-kinds=definite,indirect,possible --show-leak-kinds=definite,indirect,possible \
  --error-exitcode=99 --log-file=$(abspath $(BUILD))/valgrind/%p.log
test-valgrind: build
	rm -rf $(BUILD)/valgrind && mkdir -p $(BUILD)/valgrind
	QX_E2E_WRAPPER="$(VALGRIND)" ctest --test-dir $(BUILD) -L e2e --output-on-failure -j $(JOBS) \
	  --timeout 1800
	@find $(BUILD)/valgrind -name '*.log' -size +0 | while read -r log; do cat "$$log"; done
	@! find $(BUILD)/valgrind -name '*.log' -size +0 | grep -q . || \
	  { echo "test-valgrind: memcheck reported errors (above)" >&2; exit 1; }

# Random panel sessions over the demo scene, each ending in --save and loaded
# back; no stack a session did not touch may change (tests/soak/soak.cpp).
SOAK_SESSIONS ?= 2000
soak: build
	$(BUILD)/tests/qx_soak --qxhost $(BUILD)/qxhost --sessions $(SOAK_SESSIONS) \
	  --work $(abspath $(BUILD))/soak

# The module as the 32-bit Windows library the real host loads, and
# qxhost.exe, the stand-in host's core without OpenEXR and libpng; then a
# check of the library's export and import tables and descriptor words.
win32: deps
	cmake -S . -B $(BUILD_WIN32) $(CMAKE_GEN) -DCMAKE_TOOLCHAIN_FILE=cmake/i686-mingw.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DQX_MODULE_ONLY=OFF -DQX_BUILD_TESTS=OFF \
	  -DQX_WITH_EXR=OFF -DQX_WITH_PNG=OFF
	cmake --build $(BUILD_WIN32) -j $(JOBS)
	scripts/check-win32-dll $(BUILD_WIN32)/quintess.p

# The Windows build run under 32-bit wine (installed when missing), every
# case with and without a misaligned stack, each output compared byte for
# byte with the Linux build's.
test-wine: build win32
	scripts/install-deps wine
	scripts/test-wine $(BUILD) $(BUILD_WIN32)

# The evaluation compiled for i686 with SSE2, as the Windows build is, run
# under qemu-i386 against the x86-64 build: the same float bits. Needs no
# 32-bit kernel.
test-i686: deps
	scripts/install-deps i686
	scripts/test-i686 build-i686

# The benchmark table: every workload with its anchors in one run
# (bench/report.py), then the end-to-end timings against oiiotool.
bench: bench-build
	bench/report.py $(BUILD_BENCH)
	bench/e2e.sh $(BUILD_BENCH)

bench-build: deps
	scripts/install-deps bench
	cmake -S . -B $(BUILD_BENCH) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DQX_BUILD_BENCH=ON -DQX_BUILD_TESTS=OFF
	cmake --build $(BUILD_BENCH) -j $(JOBS)

# Instructions per pixel of W1, W1r and W2 under callgrind, written into
# docs/performance.md: the figure that does not drift with the machine's load.
bench-callgrind: bench-build
	scripts/bench-callgrind $(BUILD_BENCH) --update docs/performance.md

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

# Fails, naming the places, when a tracked source is not formatted.
format-check: deps
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

# clang-tidy over every source of host/ and tools/ (.clang-tidy), each on its
# own in a tree configured without the unity build; any finding fails.
tidy: deps
	scripts/run-tidy $(BUILD_TIDY) $(JOBS)

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_WIN32) $(BUILD_BENCH) $(BUILD_FUZZ) $(BUILD_TIDY)

# Builds every fuzz target with clang (libFuzzer, ASan, UBSan) and runs each
# for FUZZ_SECONDS; FUZZ_TARGETS picks some by name (e.g. "scene_state").
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQX_BUILD_FUZZ=ON -DQX_BUILD_TESTS=OFF
	cmake --build $(BUILD_FUZZ) -j $(JOBS)
	scripts/run-fuzz $(BUILD_FUZZ) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

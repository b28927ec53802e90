# Convenience targets around CMake. Every target that builds first makes
# sure the toolchain and libraries are installed (scripts/setup.sh).

JOBS ?= 2
CLANG_ENV = CC=clang CXX=clang++

.PHONY: all build run test asan compile-identity build-fuzz build-fuzz-fast build-fuzz-plain fuzz-smoke fuzz fuzz-fast fuzz-jit-long fuzz-bulk-long fuzz-jit-stats bench bench-build bench-table bench-bulk setup clean

all: build

setup:
	@bash scripts/setup.sh

build: setup
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
	cmake --build build -j$(JOBS)

run: build
	@if [ -x build/quibexdemo ]; then ./build/quibexdemo < examples/sample.txt; \
	else ./build/qx_example; fi

test: build
	ctest --test-dir build --output-on-failure -j$(JOBS)

# Sanitizer build: clang, AddressSanitizer + UndefinedBehaviorSanitizer,
# assertions on, light optimisation so the suite stays quick.
asan: setup
	$(CLANG_ENV) cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_C_FLAGS_DEBUG="-O1 -g" -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
	  -DQX_SANITIZE=address,undefined
	cmake --build build-asan -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build-asan --output-on-failure -j$(JOBS)

build-fuzz: setup
	$(CLANG_ENV) cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_C_FLAGS_DEBUG="-O1 -g" -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
	  -DQX_SANITIZE=address,undefined -DQX_FUZZ=ON -DBUILD_TESTING=OFF
	cmake --build build-fuzz -j$(JOBS)

fuzz-smoke: build-fuzz
	bash scripts/fuzz.sh smoke

fuzz: build-fuzz
	bash scripts/fuzz.sh long

# Share of the rows in fuzz_jit's corpora that the tier translated.
fuzz-jit-stats: build-fuzz
	bash scripts/fuzz.sh jit-stats

# The same targets with edge coverage only and -O2: several times more
# inputs per second, for long runs that continue from the corpus that
# `make fuzz` grew in build-fuzz/corpus/.
build-fuzz-fast: setup
	$(CLANG_ENV) cmake -S . -B build-fuzz-fast -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_C_FLAGS_DEBUG="-O2 -g" -DCMAKE_CXX_FLAGS_DEBUG="-O2 -g" \
	  -DQX_SANITIZE=address,undefined -DQX_FUZZ=ON -DQX_FUZZ_CMP=OFF -DBUILD_TESTING=OFF
	cmake --build build-fuzz-fast -j$(JOBS)

fuzz-fast: build-fuzz-fast
	FUZZ_BUILD=build-fuzz-fast bash scripts/fuzz.sh long

# The differential targets without sanitizers (-O2, edge coverage): about
# four times the inputs per second of build-fuzz, on every core at once.
build-fuzz-plain: setup
	$(CLANG_ENV) cmake -S . -B build-fuzz-plain -DCMAKE_BUILD_TYPE=Release \
	  -DQX_FUZZ=ON -DQX_FUZZ_CMP=OFF -DBUILD_TESTING=OFF
	cmake --build build-fuzz-plain -j$(JOBS) --target fuzz_jit fuzz_bulk

fuzz-jit-long: build-fuzz-plain
	FUZZ_BUILD=build-fuzz-plain bash scripts/fuzz.sh jit-long

# The same for the bulk calls against the loop of single calls:
# make fuzz-bulk-long [FUZZ_TIME=seconds] [FUZZ_JOBS=processes] [FUZZ_MAX_LEN=bytes]
fuzz-bulk-long: build-fuzz-plain
	FUZZ_BUILD=build-fuzz-plain bash scripts/fuzz.sh bulk-long

# Compiled rows of this tree against another revision's, over a corpus of
# formula texts in all three engines: make compile-identity [BASE=main]
BASE ?= main
compile-identity: build
	bash scripts/compile_identity.sh $(BASE)

# The benchmarks, in build/ with exprtk's compile rate added to --table
# (its header alone takes minutes to build, so only these targets ask for it).
# bench: the Google Benchmark entries; bench-table and bench-bulk: the
# side-by-side tables of quibex_bench --table and --bulk.
BENCH = build/bench/quibex_bench
bench-build: setup
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQX_BENCH_EXPRTK=ON
	cmake --build build -j$(JOBS)
	@[ -x $(BENCH) ] || { echo "no benchmarks built (Google Benchmark missing)"; exit 1; }

bench: bench-build
	./$(BENCH)

bench-table: bench-build
	./$(BENCH) --table

bench-bulk: bench-build
	./$(BENCH) --bulk

clean:
	rm -rf build build-asan build-fuzz build-fuzz-fast build-fuzz-plain build-package build-identity

# ---------------------------------------------------------------------------
# Installing, packaging and the 32-bit build
# ---------------------------------------------------------------------------
# make install [PREFIX=/usr/local] [DESTDIR=staging]: install the Release build.
# make package: Debian packages libquibex1 and libquibex-dev in
#   build-package/package/, checked with dpkg-deb and lintian.
# make test32: 32-bit x86 build (-m32, SSE2 arithmetic) in build32/ with
#   GoogleTest built from /usr/src/googletest, and its test suite.
# make asan32: the same with clang, AddressSanitizer and UBSan (build32-asan/);
#   not part of CI.
PREFIX ?= /usr/local
GTEST_SRC ?= /usr/src/googletest
BUILD32_FLAGS = -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/i386-linux-gnu.cmake \
  -DQX_JIT=OFF -DQX_GTEST_SOURCE_DIR=$(GTEST_SRC) \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON

.PHONY: install package build32 test32 asan32 clean32

install: build
	DESTDIR="$(DESTDIR)" cmake --install build --prefix "$(PREFIX)"

# The packages are built in build-package/, configured for the prefix /usr
# so that the library lands in the multiarch folder, without the tests.
package: setup
	cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF
	cmake --build build-package -j$(JOBS)
	bash scripts/debian_packages.sh build-package build-package/package
	bash tests/install/check_package.sh build-package

build32: setup
	cmake -S . -B build32 -DCMAKE_BUILD_TYPE=Release $(BUILD32_FLAGS)
	cmake --build build32 -j$(JOBS)

test32: build32
	ctest --test-dir build32 --output-on-failure -j$(JOBS)

asan32: setup
	$(CLANG_ENV) cmake -S . -B build32-asan -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_C_FLAGS_DEBUG="-O1 -g" -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
	  -DQX_SANITIZE=address,undefined $(BUILD32_FLAGS)
	cmake --build build32-asan -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build32-asan --output-on-failure -j$(JOBS)

clean: clean32
clean32:
	rm -rf build32 build32-asan

# ---------------------------------------------------------------------------
# Windows: quibex.dll for 32- and 64-bit Windows, cross-built with MinGW-w64
# and tested under Wine
# ---------------------------------------------------------------------------
# make windows: build-win32/ and build-win64/ with quibex.dll, quibexdemo.exe,
#   the import libraries (libquibex.dll.a, quibex.lib, quibex.def) and the
#   test programs (GoogleTest built from /usr/src/googletest).
# make test-windows: their tests under Wine (each build folder has its own
#   Wine prefix, build-win*/wine).
# make package-windows: build-win*/package/quibex-1.0.0-win{32,64}.zip,
#   each unpacked and used by a MinGW-built host under Wine.
WIN_FLAGS = -DCMAKE_BUILD_TYPE=Release -DQX_GTEST_SOURCE_DIR=$(GTEST_SRC) \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON

.PHONY: setup-windows windows test-windows package-windows clean-windows

setup-windows:
	@bash scripts/setup.sh windows

windows: setup-windows
	cmake -S . -B build-win32 $(WIN_FLAGS) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/i686-w64-mingw32.cmake
	cmake --build build-win32 -j$(JOBS)
	cmake -S . -B build-win64 $(WIN_FLAGS) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/x86_64-w64-mingw32.cmake
	cmake --build build-win64 -j$(JOBS)

test-windows: windows
	ctest --test-dir build-win32 --output-on-failure -j$(JOBS)
	ctest --test-dir build-win64 --output-on-failure -j$(JOBS)

package-windows: windows
	cd build-win32 && cpack -G ZIP
	cd build-win64 && cpack -G ZIP
	bash tests/windows/check_package.sh build-win32 win32
	bash tests/windows/check_package.sh build-win64 win64

clean: clean-windows
clean-windows:
	rm -rf build-win32 build-win64

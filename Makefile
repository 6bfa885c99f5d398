# Thin wrapper over CMake. `make demo` and `make test` are the two set-up commands.
JOBS  ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all build demo test test-normal test-asan test-tsan test-windows deps-windows package bench fuzz deps format clean

all: build

deps:
	@scripts/deps.sh

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

# Builds the programs and the LAN library the demo uses, then a backup, verify and restore
# against the bundled panel simulator, over the serial link and over the LAN; with a display
# it then opens the desktop application kzmnt against the simulator.
demo: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS) --target kzmnt-cli kzpanel-sim Kevrosa kzmnt
	@scripts/demo.sh build

# The normal suite, then the same suite under AddressSanitizer + UBSan and under
# ThreadSanitizer, then the Windows builds and their suites under Wine.
test: test-normal test-asan test-tsan test-windows

test-normal: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKZ_SANITIZE=address $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

test-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DKZ_SANITIZE=thread $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS)
	ctest --test-dir build-tsan --output-on-failure -j $(JOBS)

# The Windows build (MinGW-w64, 32- and 64-bit) and its core suites under Wine; installs
# the cross compilers and Wine first when they are missing.
deps-windows:
	@scripts/deps-windows.sh

test-windows: deps-windows
	JOBS=$(JOBS) scripts/test-windows.sh

# The Debian package (build/kzmnt_*.deb, checked by scripts/check-package.sh) and, when the
# Windows builds exist (make test-windows), a ZIP for each architecture.
package: build
	cd build && cpack -G DEB
	scripts/check-package.sh build
	for dir in build-win32 build-win64; do \
		if [ -f $$dir/CPackConfig.cmake ]; then \
			cmake --build $$dir -j $(JOBS) --target kzmnt-cli Kevrosa && (cd $$dir && cpack -G ZIP) || exit 1; \
		fi; \
	done

bench: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build build-bench -j $(JOBS)
	@scripts/bench.sh build-bench

# The libFuzzer targets (clang): each runs FUZZ_SECONDS (default 60) on a scratch copy of
# its corpus; a table of executions, coverage and crashes follows.
FUZZ_SECONDS ?= 60
fuzz:
	@scripts/deps-fuzz.sh
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKZ_FUZZ=ON -DKZ_GUI=OFF $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS) --target fuzz_targets
	FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz.sh build-fuzz

format:
	find src sim tools tests bench fuzz -name '*.h' -o -name '*.cpp' | xargs clang-format -i

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz build-win32 build-win64

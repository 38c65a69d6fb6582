#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test:
#   1. the dispatcher cross-built for Windows with MinGW-w64 (build only);
#   2. the full build (Qt layers included), all suites, GUI ones offscreen;
#   3. the non-GUI suites again under AddressSanitizer + UndefinedBehaviorSanitizer;
#   4. the threaded suites (dispatcher, device) under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

jobs=2
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

build() {  # build DIR [cmake options...]
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRM_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

echo "== Windows cross build of the dispatcher (MinGW-w64)"
build build-mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DKRM_WITH_QT=OFF -DKRM_WITH_TESTS=OFF

# The dispatcher suites and the Win32 device test under Wine, COM1 a pty.
./scripts/ci-wine.sh

echo "== full build and tests"
build build
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 300

echo "== AddressSanitizer + UndefinedBehaviorSanitizer (every suite)"
build build-asan -DKRM_SANITIZE=address
ctest --test-dir build-asan --output-on-failure -j "$jobs" --timeout 600

echo "== ThreadSanitizer (dispatcher threads over the fake device and real ptys)"
build build-tsan -DKRM_WITH_QT=OFF -DKRM_SANITIZE=thread
ctest --test-dir build-tsan --output-on-failure -j "$jobs" --timeout 600 -L 'dispatcher|device|cli'
# Every fuzz target of fuzz/ for a bounded time (clang, libFuzzer).
./scripts/ci-fuzz.sh

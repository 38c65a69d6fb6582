#!/usr/bin/env bash
# The Wine stage: the dispatcher suites and the Win32 device test, built for
# Windows with MinGW-w64 (statically linked) and run under Wine, with COM1 a
# pseudo-terminal whose far end wine_com_peer holds on the Linux side.
# Everything lives in build-wine/, the Wine prefix too.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
server=""
finish() {
  [ -z "$server" ] || wineserver -k 2>/dev/null || true
  echo "== Wine stage took $(($(date +%s) - start)) s"
}
trap finish EXIT

./scripts/install-deps.sh wine wine64 googletest

root=$PWD/build-wine
toolchain=$PWD/cmake/mingw-w64.cmake
jobs=2
mkdir -p "$root"

echo "== GoogleTest for Windows (from /usr/src/googletest)"
if [ ! -f "$root/gtest-root/lib/libgtest.a" ]; then
  cmake -S /usr/src/googletest -B "$root/gtest" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$root/gtest-root" >/dev/null
  cmake --build "$root/gtest" -j "$jobs"
  cmake --install "$root/gtest" >/dev/null
fi

echo "== the Linux end of COM1"
cmake -S . -B "$root/native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRM_WERROR=ON \
  -DKRM_WITH_QT=OFF >/dev/null
cmake --build "$root/native" -j "$jobs" --target wine_com_peer

echo "== a private Wine prefix, COM1 leading to $root/com1"
export WINEPREFIX=$root/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# One server for the whole stage; its services rewrite dosdevices/com1 when
# they start, so the link is made after they run, and the registry names
# it too, should they start again.
mkdir -p "$WINEPREFIX"
# A new prefix is set up by processes that outlive the first command: let
# them finish before any test starts, or its first programs may not load.
wine cmd /c exit
wineserver -w
wineserver -p >"$root/wineserver.log" 2>&1
server=yes
wine cmd /c exit
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$root/com1" /f >/dev/null
ln -sfn "$root/com1" "$WINEPREFIX/dosdevices/com1"

echo "== dispatcher suites and the Win32 device test for Windows"
cmake -S . -B "$root/win" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRM_WERROR=ON -DKRM_WITH_QT=OFF \
  -DCMAKE_PREFIX_PATH="$root/gtest-root" -DCMAKE_FIND_ROOT_PATH="/usr/x86_64-w64-mingw32;$root/gtest-root" \
  -DCMAKE_EXE_LINKER_FLAGS=-static -DCMAKE_CROSSCOMPILING_EMULATOR=wine \
  -DKRM_WINE_PEER="$root/native/tests/win32/wine_com_peer" -DKRM_WINE_COM1_LINK="$root/com1" \
  >/dev/null
cmake --build "$root/win" -j "$jobs"
# A test whose program Wine could not start runs once more; a failing test
# fails both times.
ctest --test-dir "$root/win" --output-on-failure -j "$jobs" --timeout 300 --repeat until-pass:2

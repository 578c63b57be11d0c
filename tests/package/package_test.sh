#!/usr/bin/env bash
# package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1"
source_dir="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

zip="$("$source_dir/scripts/lib/make-package.sh" "$build" "$work/out")"
version="$(cat "$build/FERRYDOCK_VERSION")"
[ "$(basename "$zip")" = "FerrydockUITrans-$version.zip" ] || fail "zip name $(basename "$zip")"

mkdir "$work/unpacked"
(cd "$work/unpacked" && unzip -q "$zip")
pkg="$work/unpacked/FerrydockUITrans-$version"

for f in bin/FerrydockUITrans.dll bin/libstdc++-6.dll bin/libgcc_s_seh-1.dll bin/libwinpthread-1.dll \
         bin/FerrydockHost.exe include/FerrydockUITrans.h lib/libFerrydockUITrans.dll.a \
         lib/FerrydockUITrans.lib lib/cmake/FerrydockUITrans/FerrydockUITransConfig.cmake \
         lib/cmake/FerrydockUITrans/FerrydockUITransConfigVersion.cmake standins/Jotter.dll \
         examples/consumer.c README.md LICENSE CHANGELOG.md; do
  [ -f "$pkg/$f" ] || fail "missing $f"
done
if ls "$pkg/bin" | grep -qiE '_tests\.exe$'; then fail "test programs in the package"; fi

# The import library for Microsoft's linker names the plain exports, none of the C++ ones.
llvm-nm-14 "$pkg/lib/FerrydockUITrans.lib" 2>/dev/null | grep -q '__imp_GetCurrentUserName' \
  || fail "FerrydockUITrans.lib lacks __imp_GetCurrentUserName"
if llvm-nm-14 "$pkg/lib/FerrydockUITrans.lib" 2>/dev/null | grep -q '__imp__Z'; then
  fail "FerrydockUITrans.lib names mangled members"
fi

# Nothing from the build tree: the package's own folders only.
export WINEPATH="$pkg/standins"
export FERRYDOCK_LOG_FILE="$(winepath -w "$work/package.log" 2>/dev/null || echo "$work/package.log")"
cd "$work"

out="$(wine "$pkg/bin/FerrydockHost.exe" version 2>&1)" || fail "host version: $out"
echo "$out" | grep -q "FerrydockUITrans.dll $version.0" || fail "version resource differs from $version: $out"

out="$(wine "$pkg/bin/FerrydockHost.exe" demo 2>&1)" || fail "demo from the package failed: $out"
echo "$out"

# The C consumer, built against the packaged header and MinGW import library.
x86_64-w64-mingw32-gcc-posix -std=c11 -Wall -Werror -I"$pkg/include" "$pkg/examples/consumer.c" \
  -L"$pkg/lib" -lFerrydockUITrans -o "$work/consumer.exe"
WINEPATH="$pkg/bin;$pkg/standins" wine "$work/consumer.exe" || fail "consumer.exe"

# The same program through find_package.
cmake -S "$pkg/examples" -B "$work/cmake-consumer" -DCMAKE_PREFIX_PATH="$pkg" \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$work/cmake-consumer" >/dev/null
WINEPATH="$pkg/bin;$pkg/standins" wine "$work/cmake-consumer/consumer.exe" || fail "cmake consumer.exe"
echo "package test passed"

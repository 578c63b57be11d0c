#!/usr/bin/env bash
# package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1"
source_dir="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

zips="$("$source_dir/scripts/lib/make-package.sh" "$build" "$work/out")"
zip="$(echo "$zips" | sed -n 1p)"
version="$(cat "$build/FERRYDOCK_VERSION")"
[ "$(basename "$zip")" = "FerrydockUITrans-$version.zip" ] || fail "zip name $(basename "$zip")"
[ "$(echo "$zips" | sed -n 2p | xargs basename)" = "FerrydockUITrans-$version-suite-sdk-STANDINS.zip" ] \
  || fail "stand-in SDK zip name: $zips"
[[ "$(unzip -Z1 "$(echo "$zips" | sed -n 2p)")" == *include/IPCMessageClient.h* ]] || fail "stand-in SDK lacks its headers"

mkdir "$work/unpacked"
(cd "$work/unpacked" && unzip -q "$zip")
pkg="$work/unpacked/FerrydockUITrans-$version"

for f in bin/FerrydockUITrans.dll \
         bin/FerrydockHost.exe include/FerrydockUITrans.h lib/libFerrydockUITrans.dll.a \
         lib/FerrydockUITrans.lib lib/cmake/FerrydockUITrans/FerrydockUITransConfig.cmake \
         lib/cmake/FerrydockUITrans/FerrydockUITransConfigVersion.cmake standins/Jotter.dll \
         examples/consumer.c examples/consumer_kernel32.c README.md LICENSE CHANGELOG.md; do
  [ -f "$pkg/$f" ] || fail "missing $f"
done
# The GCC, C++ and thread runtimes are linked in: no binary imports them, none is shipped.
for f in "$pkg"/bin/* "$pkg"/standins/*; do
  case "$f" in *.dll|*.exe) ;; *) continue ;; esac
  if x86_64-w64-mingw32-objdump -p "$f" | grep -iE 'DLL Name: *lib(stdc|gcc|winpthread)'; then
    fail "$(basename "$f") imports a MinGW runtime DLL"
  fi
done
if find "$pkg" -iname 'lib*.dll' | grep -q .; then fail "MinGW runtime DLLs in the package"; fi
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

# The kernel32-only consumer built the Microsoft way: clang-cl in MSVC mode, lld-link against
# FerrydockUITrans.lib (no MinGW import library) and a kernel32.lib made here, no C runtime.
printf 'LIBRARY kernel32.dll\nEXPORTS\nExitProcess\nGetStdHandle\nWriteFile\nWideCharToMultiByte\nlstrlenW\n' \
  > "$work/kernel32.def"
llvm-dlltool-14 -m i386:x86-64 -d "$work/kernel32.def" -l "$work/kernel32.lib"
clang-cl-14 --target=x86_64-pc-windows-msvc /nologo /c /GS- /W4 /WX -I"$pkg/include" \
  -imsvc /usr/x86_64-w64-mingw32/include \
  /Fo"$work/consumer_kernel32.obj" -- "$pkg/examples/consumer_kernel32.c"
lld-link-14 /nologo /entry:start /subsystem:console /nodefaultlib /out:"$work/consumer_kernel32.exe" \
  "$work/consumer_kernel32.obj" "$pkg/lib/FerrydockUITrans.lib" "$work/kernel32.lib"
out="$(WINEPATH="$pkg/bin;$pkg/standins" wine "$work/consumer_kernel32.exe" 2>&1)" \
  || fail "consumer_kernel32.exe: $out"
echo "$out"
echo "$out" | grep -q '^user SID: S-1-' || fail "consumer_kernel32.exe printed: $out"

# The same program through find_package.
cmake -S "$pkg/examples" -B "$work/cmake-consumer" -DCMAKE_PREFIX_PATH="$pkg" \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$work/cmake-consumer" >/dev/null
WINEPATH="$pkg/bin;$pkg/standins" wine "$work/cmake-consumer/consumer.exe" || fail "cmake consumer.exe"
echo "package test passed"

#!/usr/bin/env bash
# make-package.sh BUILD_DIR OUT_DIR: stages the install tree of a configured and built
# build folder, adds the import library for Microsoft's linker, and writes
# OUT_DIR/FerrydockUITrans-<version>.zip; then the stand-ins laid out as the suite's SDK
# into OUT_DIR/FerrydockUITrans-<version>-suite-sdk-STANDINS.zip. Prints both paths, the
# package first.
set -euo pipefail
build="$(cd "$1" && pwd)"
out="$(mkdir -p "$2" && cd "$2" && pwd)"
version="$(cat "$build/FERRYDOCK_VERSION")"
name="FerrydockUITrans-$version"
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT

cmake --install "$build" --prefix "$stage/$name" >/dev/null

# Microsoft's linker takes a short-format import library; only the plain C exports are
# usable from there (the C++ members carry GCC's name mangling).
grep -v '^[[:space:]]*_Z' "$stage/$name/lib/FerrydockUITrans.def" > "$stage/c-exports.def"
llvm-dlltool-14 -m i386:x86-64 -d "$stage/c-exports.def" -l "$stage/$name/lib/FerrydockUITrans.lib"

rm -f "$out/$name.zip"
(cd "$stage" && zip -qr "$out/$name.zip" "$name")
echo "$out/$name.zip"

sdk="$name-suite-sdk-STANDINS"
cmake --install "$build" --component suite-sdk-standins --prefix "$stage/$sdk" >/dev/null
rm -f "$out/$sdk.zip"
(cd "$stage" && zip -qr "$out/$sdk.zip" "$sdk")
echo "$out/$sdk.zip"

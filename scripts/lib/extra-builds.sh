# Sourced by scripts/test after common.sh: two builds beside the main one, outside ctest.
#  - clang: the DLL, the stand-ins, the host and the service with clang and lld (warnings as
#    errors); compile and link only, the tests run once, on the GCC build.
#  - SDK: the stand-ins installed as the suite's SDK into a folder of their own, then a fresh
#    build of the DLL and the host against that folder alone, and a short run of the host.
# FERRYDOCK_SKIP_EXTRA_BUILDS=1 skips both on a developer's machine; with CI=true they always run.
# shellcheck shell=bash

CLANG_BUILD_DIR="${BUILD_DIR}-clang"
SDK_WORK_DIR="${BUILD_DIR}-sdk"

# Only what the issue of compiler portability concerns: no tests, no benchmarks.
FERRYDOCK_EXTRA_TARGETS=(FerrydockUITrans FerrydockHost ferrydock-service)

ferrydock_extra_builds_wanted() {
  if [ "${CI:-}" = "true" ]; then return 0; fi
  if [ "${FERRYDOCK_SKIP_EXTRA_BUILDS:-0}" = "1" ]; then
    echo "clang build: skipped (FERRYDOCK_SKIP_EXTRA_BUILDS=1)"
    echo "sdk build: skipped (FERRYDOCK_SKIP_EXTRA_BUILDS=1)"
    return 1
  fi
  return 0
}

# ccache when scripts/setup installed it (the builds share most sources with the main one).
ferrydock_launcher_args() {
  if command -v ccache >/dev/null 2>&1; then
    echo "-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
  fi
}

ferrydock_clang_build() {
  local log="$CLANG_BUILD_DIR.log"
  # shellcheck disable=SC2046
  if cmake -S "$ROOT" -B "$CLANG_BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/clang-mingw-w64-x86_64.cmake" \
       -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFERRYDOCK_TESTS=OFF $(ferrydock_launcher_args) >"$log" 2>&1 &&
     cmake --build "$CLANG_BUILD_DIR" -j 2 --target "${FERRYDOCK_EXTRA_TARGETS[@]}" >>"$log" 2>&1; then
    echo "clang build: ok"
  else
    tail -n 40 "$log" >&2
    echo "clang build: FAILED (log: $log)"
    return 1
  fi
}

# ferrydock_sdk_smoke SDK_DIR BUILD: the host loads the DLL built against the SDK, with the
# SDK's DLLs and nothing else on the search path.
ferrydock_sdk_smoke() {
  local sdk="$1" build="$2" out
  out="$(WINEPATH="$sdk/bin" wine "$build/bin/FerrydockHost.exe" version 2>&1)" &&
    echo "$out" | grep -q "FerrydockUITrans.dll $(cat "$build/FERRYDOCK_VERSION").0" &&
    out="$(WINEPATH="$sdk/bin" wine "$build/bin/FerrydockHost.exe" user 2>&1)" &&
    echo "$out" | grep -q "S-1-5-" ||
    { echo "$out" >&2; return 1; }
}

ferrydock_sdk_build() {
  local sdk="$SDK_WORK_DIR/suite-sdk" build="$SDK_WORK_DIR/build" log="$SDK_WORK_DIR.log"
  rm -rf "$SDK_WORK_DIR"
  # shellcheck disable=SC2046
  if cmake --install "$BUILD_DIR" --component suite-sdk-standins --prefix "$sdk" >"$log" 2>&1 &&
     cmake -S "$ROOT" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
       -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFERRYDOCK_SUITE_SDK="$sdk" $(ferrydock_launcher_args) >>"$log" 2>&1 &&
     cmake --build "$build" -j 2 --target FerrydockUITrans FerrydockHost >>"$log" 2>&1 &&
     ferrydock_sdk_smoke "$sdk" "$build" >>"$log" 2>&1; then
    echo "sdk build: ok"
  else
    tail -n 40 "$log" >&2
    echo "sdk build: FAILED (log: $log)"
    return 1
  fi
}

# Runs both and fails after both have run when either failed.
ferrydock_extra_builds() {
  ferrydock_extra_builds_wanted || return 0
  local status=0
  ferrydock_clang_build || status=1
  ferrydock_sdk_build || status=1
  return $status
}

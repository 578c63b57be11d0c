# Sourced by scripts/test, scripts/demo and scripts/package: configure and build the
# cross build, and run Wine with its own prefix, one persistent wineserver and one Xvfb.
# shellcheck shell=bash

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD_DIR="${FERRYDOCK_BUILD_DIR:-$ROOT/build}"
JOBS="$(nproc 2>/dev/null || echo 2)"

# ANSI conversions in the tests expect code page 1252; Wine derives it from LANG.
export LANG=C.UTF-8
export LC_ALL=C.UTF-8
export WINEPREFIX="$BUILD_DIR/wineprefix"
export WINEDEBUG="${WINEDEBUG:--all}"
# No debugger on a crash: a crashing test fails at once instead of waiting in winedbg.
export WINEDLLOVERRIDES="mscoree=;mshtml=;winedbg.exe=d"
export WINEARCH=win64

ferrydock_setup() {
  "$ROOT/scripts/setup"
}

# ferrydock_build [extra cmake arguments]
ferrydock_build() {
  cmake -S "$ROOT" -B "$BUILD_DIR" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE="${FERRYDOCK_BUILD_TYPE:-RelWithDebInfo}" "$@" >/dev/null
  cmake --build "$BUILD_DIR" -j "$JOBS"
}

# WINEPATH lists the folders of our DLLs and of the MinGW runtime, ';'-separated.
ferrydock_winepath() {
  local gccdir
  gccdir="$(ls -d /usr/lib/gcc/x86_64-w64-mingw32/*-posix | head -n 1)"
  local dirs=("$BUILD_DIR/bin" "$gccdir" "/usr/x86_64-w64-mingw32/lib")
  local IFS=';'
  echo "${dirs[*]}"
}

_xvfb_pid=""
ferrydock_stop_wine() {
  # The wineserver must go before its display.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  if [ -n "$_xvfb_pid" ]; then
    kill "$_xvfb_pid" >/dev/null 2>&1 || true
    wait "$_xvfb_pid" 2>/dev/null || true
    _xvfb_pid=""
  fi
}

ferrydock_start_display() {
  if [ -n "${DISPLAY:-}" ] && [ -z "${FERRYDOCK_OWN_DISPLAY:-}" ]; then
    return
  fi
  local n
  for n in $(seq 90 140); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
      Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
      _xvfb_pid=$!
      local i
      for i in $(seq 1 50); do
        [ -e "/tmp/.X11-unix/X$n" ] && break
        sleep 0.1
      done
      export DISPLAY=":$n"
      return
    fi
  done
  echo "no free X display number" >&2
  return 1
}

# Starts Xvfb (when no display is set), creates the prefix once and keeps one
# persistent wineserver for the run; everything stops on exit, also on failure.
ferrydock_start_wine() {
  export WINEPATH
  WINEPATH="$(ferrydock_winepath)"
  trap ferrydock_stop_wine EXIT
  ferrydock_start_display
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
  fi
  wineserver -p >/dev/null 2>&1
  # The first Wine process starts Wine's own background processes (services,
  # the desktop); started here, they do not inherit the output pipe of a test,
  # which would keep the reader of that pipe waiting for ever.
  wine cmd.exe /c exit >/dev/null 2>&1 </dev/null || true
}

# ferrydock_ui_screenshot OUT.png: the reference window fed by the incoming-transfer
# scenario, saved as a PNG once the scenario has played (after Wine is started).
ferrydock_ui_screenshot() {
  local out
  out="$(realpath -m "$1")"
  mkdir -p "$(dirname "$out")"
  wine "$BUILD_DIR/bin/FerrydockHost.exe" ui \
    --script "$(winepath -w "$ROOT/tools/service/scenarios/incoming-transfer.txt")" \
    --screenshot "$(winepath -w "$out")" --after 4000
}

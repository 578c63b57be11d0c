# Sourced by scripts/test after ferrydock_start_wine. Ends FerrydockHost processes with
# the IPC client in every state (service absent, connecting, connected and idle,
# streaming both ways, a callable running on the delivery thread), each with and without
# UninitIPCModule, by returning from main, by ExitProcess and after FreeLibrary. A
# process that dies on its way out does so about once in several hundred runs, so every
# combination runs many times; any run that does not exit with status 0 after its
# "exiting:" line fails the check. Wine's error channel stays on for these processes, so
# that a failing run shows what Wine saw.
#
# One host at a time: with a second busy Wine process beside it, about one in 500 to
# 1,000 hosts that call ExitProcess while a callable sleeps on the delivery thread hangs
# for good (alone, 0 in 2,500). Its last thread, inside NtTerminateProcess, is
# interrupted to complete the client's pending pipe read, and that completion waits for
# a lock of Wine's own (by all signs its virtual memory lock) that no remaining thread
# holds: one of the threads the exit killed must have. No frame of ours is on that stack;
# Windows completes such a read without the process. (The idle window that keeps Wine's
# desktop up, below, has not shown it.)
# shellcheck shell=bash

FERRYDOCK_EXIT_STATES="absent connecting idle streaming callable"
FERRYDOCK_EXIT_WAYS="return exit-process free-library"
# Not run: a process killed while the client streams (return from main or ExitProcess
# with traffic in flight). Wine kills the other threads wherever they are, also inside
# the C runtime's heap, and the exit then hangs now and then (a program of 20 lines whose
# two threads only allocate and free hangs in about one ExitProcess in 60 under Wine 8);
# Windows ends such a process at once instead. Streaming followed by FreeLibrary runs.
FERRYDOCK_EXIT_SKIPPED="streaming return, streaming exit-process"

# Now and then Wine fails to start a process: setting up its first thread, it cannot map
# the shared user data because the address is taken (status 0xC0000018), and the process
# ends with status 1 before any code of ours runs (4 in 10,400 starts of the host, 1 in
# 3,000 of a program of 20 lines). Such a run tested no exit: it is listed apart and made
# once more.
FERRYDOCK_WINE_START_FAILURE="failed to map the shared user data"

# _ferrydock_exit_run STATE WAY [uninit]: one host process; prints its output, returns its status.
_ferrydock_exit_run() {
  WINEDEBUG=-all,err+all timeout 60 wine "$BUILD_DIR/bin/FerrydockHost.exe" ipc-exit "$@" 2>&1 </dev/null
}

# _ferrydock_exit_runner ROUNDS LOG: runs every combination ROUNDS times; appends each
# unclean exit to LOG and each process Wine failed to start to LOG.start.
_ferrydock_exit_runner() {
  local rounds=$1 log=$2 round state way uninit output status
  for round in $(seq 1 "$rounds"); do
    for state in $FERRYDOCK_EXIT_STATES; do
      for way in $FERRYDOCK_EXIT_WAYS; do
        # See FERRYDOCK_EXIT_SKIPPED.
        case "$state $way" in "streaming return" | "streaming exit-process") continue ;; esac
        for uninit in "" uninit; do
          status=0
          # shellcheck disable=SC2086
          output="$(_ferrydock_exit_run "$state" "$way" $uninit)" || status=$?
          if [ "$status" -ne 0 ] && grep -q "$FERRYDOCK_WINE_START_FAILURE" <<<"$output"; then
            printf 'round %s: ipc-exit %s %s %s: not started\n%s\n' "$round" "$state" "$way" "$uninit" \
              "$output" >>"$log.start"
            status=0
            # shellcheck disable=SC2086
            output="$(_ferrydock_exit_run "$state" "$way" $uninit)" || status=$?
          fi
          if [ "$status" -ne 0 ] || ! grep -q "^exiting: $state $way" <<<"$output"; then
            printf 'round %s: ipc-exit %s %s %s: status %s\n%s\n' "$round" "$state" "$way" "$uninit" "$status" \
              "$output" >>"$log"
          fi
        done
      done
    done
  done
}

# ferrydock_exit_check [ROUNDS]: 26 combinations a round (default FERRYDOCK_EXIT_ROUNDS or 60).
ferrydock_exit_check() {
  local rounds="${1:-${FERRYDOCK_EXIT_ROUNDS:-60}}"
  local work service_pid service_in started status=0
  work="$(mktemp -d)"
  # Wine ends its desktop process a few seconds after the last window's process has gone;
  # from then on every host restarts it and waits for it (about 1.2 s a host instead of
  # 0.12 s). A window of our own keeps the desktop in use while the check runs.
  wine "$BUILD_DIR/bin/FerrydockHost.exe" drop-target --seconds 86400 >/dev/null 2>&1 </dev/null &
  local desktop_pid=$!
  local pipe="\\\\.\\pipe\\ferrydock-exit-check-$$"
  # The service quits when its input ends: keep it open through a FIFO until the end.
  mkfifo "$work/in"
  wine "$BUILD_DIR/bin/ferrydock-service.exe" --pipe "$pipe" <"$work/in" >"$work/service.out" 2>&1 &
  service_pid=$!
  exec {service_in}>"$work/in"
  for _ in $(seq 1 100); do
    grep -q '^ready' "$work/service.out" 2>/dev/null && break
    sleep 0.2
  done
  touch "$work/unclean" "$work/unclean.start"
  started=$(date +%s)
  FERRYDOCK_PIPE_NAME="$pipe" _ferrydock_exit_runner "$rounds" "$work/unclean"
  echo quit >&"$service_in"
  exec {service_in}>&-
  wait "$service_pid" 2>/dev/null || true
  kill "$desktop_pid" 2>/dev/null || true
  wait "$desktop_pid" 2>/dev/null || true
  local unclean unstarted
  unclean=$(grep -c '^round ' "$work/unclean" || true)
  unstarted=$(grep -c '^round ' "$work/unclean.start" || true)
  echo "exit check: $((rounds * 26)) host processes, $unclean unclean exits, $(($(date +%s) - started)) s" \
    "($unstarted not started by Wine and run again)"
  cat "$work/unclean.start"
  if [ "$unclean" -ne 0 ]; then
    cat "$work/unclean"
    status=1
  fi
  rm -rf "$work"
  return "$status"
}

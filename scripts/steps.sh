# Sourced by the scripts: announces each step with the time since the script began, reports how
# long it took, and says every 20 s that a long step is still running, so that no step is silent.
#
#   step "what it does" command [args...]
#
# The command's own output passes through. A failing step reports its time and returns its status.

steps_began=${steps_began:-$SECONDS}

steps_clock() {
  local s=$((SECONDS - steps_began))
  printf '%d:%02d' $((s / 60)) $((s % 60))
}

step() {
  local what=$1 began=$SECONDS status=0 beat
  shift
  printf '\n[%s] %s\n' "$(steps_clock)" "$what"
  (
    trap 'kill "$nap" 2>/dev/null; exit 0' TERM
    while :; do
      sleep 20 &
      nap=$!
      wait "$nap"
      printf '[%s]   ... still at: %s (%d s)\n' "$(steps_clock)" "$what" $((SECONDS - began))
    done
  ) &
  beat=$!
  "$@" || status=$?
  kill "$beat" 2>/dev/null || true
  wait "$beat" 2>/dev/null || true
  if [ "$status" -eq 0 ]; then
    printf '[%s] done in %d s: %s\n' "$(steps_clock)" $((SECONDS - began)) "$what"
  else
    printf '[%s] FAILED after %d s (status %d): %s\n' "$(steps_clock)" $((SECONDS - began)) \
      "$status" "$what"
  fi
  return "$status"
}

# quietly <log file> command [args...]: runs the command with its output in the log; on failure
# shows the log's last 40 lines.
quietly() {
  local log=$1 status=0
  shift
  "$@" >"$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$log"
    echo "(whole output in $log)"
  fi
  return "$status"
}

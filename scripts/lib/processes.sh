# Sourced by the scripts that start a private graph: stopping what they started and waiting for
# a service to answer.

# stop_processes PID...: in reverse start order (a client before the server it depends on), each
# given five seconds to leave before it is killed.
stop_processes() {
  local pids=("$@") i pid
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
}

wait_for() {  # wait_for TIMEOUT_TENTHS COMMAND...
  local tries=$1
  shift
  for _ in $(seq "$tries"); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

# Peer handling shared by the benchmark scripts (bench/run-throughput, bench/run-transparent); sourced, not run.
#
# Sourcing it makes a scratch folder $work and an array $pids: every process a script starts in the
# background goes into $pids, and on exit each is stopped and waited for and $work is removed.
# shellcheck shell=bash disable=SC2034  # the variables set here are the sourcing script's

work=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

clk_tck=$(getconf CLK_TCK)

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Waits until something listens on 127.0.0.1:$1 (without connecting to it: iperf3 would take a probe for a test).
wait_listening() {
  local port=$1 deadline=$((SECONDS + 10))
  until ss -Hltn "sport = :$port" | grep -q .; do
    [ $SECONDS -lt $deadline ] || { echo "nothing listens on port $port" >&2; exit 1; }
    sleep 0.05
  done
}

# Starts a program that prints "PORT <n>" when it listens; sets $started_pid and $started_port.
start_with_port() {
  local name=$1
  shift
  "$@" >"$work/$name.out" 2>"$work/$name.err" &
  started_pid=$!
  pids+=("$started_pid")
  local deadline=$((SECONDS + 10))
  until grep -q '^PORT ' "$work/$name.out" 2>/dev/null; do
    if [ $SECONDS -ge $deadline ] || ! kill -0 "$started_pid" 2>/dev/null; then
      echo "$name did not start:" >&2
      cat "$work/$name.err" >&2
      exit 1
    fi
    sleep 0.05
  done
  started_port=$(awk '/^PORT /{print $2; exit}' "$work/$name.out")
}

# CPU ticks of a process, its threads and its children that it has reaped (utime stime cutime cstime).
cpu_ticks() {
  awk '{ sub(/^.*\) /, ""); print $12 + $13 + $14 + $15 }' "/proc/$1/stat"
}

# Waits until a process has no children left (socat's per-connection children, so their CPU is counted).
wait_no_children() {
  local pid=$1 deadline=$((SECONDS + 10))
  while [ -n "$(cat "/proc/$pid/task/$pid/children" 2>/dev/null)" ] && [ $SECONDS -lt $deadline ]; do
    sleep 0.05
  done
}

# Runs a client in the background and waits for it: a signal to the script then stops the run at once (a
# trap waits for a foreground command to end, a `wait` it interrupts).
run_client() {
  local out=$1 err=$2
  shift 2
  "$@" >"$out" 2>"$err" &
  local pid=$!
  pids+=("$pid")
  wait "$pid"
}

# Sourced by the scripts that start programs in the background (demo,
# memcheck, bench/run): what they start, how they wait for it, how they stop
# it. Set `name` first; it begins every message.
pids=()

fail() {
  echo "$name: $*" >&2
  exit 1
}

# A UDP port on 127.0.0.1 that nothing is bound to just now.
free_port() {
  python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

port_bound() { grep -qi ":$(printf %04X "$1") " /proc/net/udp; }

# wait_bound PORT SECONDS: until something is bound to PORT; false on time-out.
wait_bound() {
  local tries=$(($2 * 20))
  until port_bound "$1"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.05
  done
}

# wait_link PATH: until corvex-board has made its link (5 s at most).
wait_link() {
  for _ in $(seq 100); do [ -L "$1" ] && return 0; sleep 0.05; done
  fail "corvex-board did not create $1"
}

# Ends every started program, the last started first (a bridge before the
# board it serves, so it does not see the line hang up); one that ignores
# SIGTERM for 2 s is killed.
stop_all() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 40); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    if kill -0 "$pid" 2>/dev/null; then
      echo "$name: pid $pid ($(cat "/proc/$pid/comm" 2>/dev/null)) ignored SIGTERM for 2 s; killed" >&2
      kill -KILL "$pid" 2>/dev/null || true
    fi
  done
  wait 2>/dev/null || true
  pids=()
}

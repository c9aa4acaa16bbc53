# Sourced by the scripts that start programs in the background (demo,
# memcheck, bench/run): what they start, how they wait for it, how they stop
# it; and by demo and test for what they need installed. Set `name` first; it
# begins every message.
pids=()

fail() {
  echo "$name: $*" >&2
  exit 1
}

# ensure_deps DIR [GROUP...]: as root, installs what is missing, with apt's
# output in DIR/install-deps.log; otherwise says in one line what to run.
ensure_deps() {
  local dir=$1
  shift
  if [ "$(id -u)" != 0 ]; then
    scripts/install-deps --check "$@" || exit 1
    return
  fi
  scripts/install-deps --check "$@" 2>/dev/null && return
  mkdir -p "$dir"
  echo "$name: installing what is missing; apt's output is in $dir/install-deps.log"
  scripts/install-deps "$@" >"$dir/install-deps.log" 2>&1 ||
    fail "installing failed; see $dir/install-deps.log"
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

# Debian roots of the releases a Pi owner runs, made once with mmdebstrap and
# reused: build-roots/debian-RELEASE-KIND (ROOTS moves them).
codename() {
  case $1 in
  12) echo bookworm ;;
  13) echo trixie ;;
  *) fail "Debian release '$1': 12 or 13" ;;
  esac
}

# The Debian archive this machine's apt uses (debootstrap, unlike apt, has no
# sources of its own to read): the one that serves the host's own release.
debian_mirror() {
  local host
  host=$(. /etc/os-release && echo "$VERSION_CODENAME")
  apt-get indextargets --format '$(REPO_URI) $(RELEASE)' "Created-By: Packages" |
    awk -v suite="$host" '$2 == suite {print $1; exit}'
}

# make_root RELEASE KIND [MMDEBSTRAP-OPTION...]: makes the root if it is not
# there yet and prints its path.
make_root() {
  local release=$1 kind=$2
  shift 2
  local root lock
  root=${ROOTS:-$PWD/build-roots}/debian-$release-$kind
  mkdir -p "$(dirname "$root")"
  exec {lock}>"$root.lock"
  flock "$lock"
  if [ ! -e "$root/.made" ]; then
    rm -rf "$root"
    mkdir -p "$(dirname "$root")"
    echo "$name: making a Debian $release root in $root (about a minute)" >&2
    # Twice: a mirror in the middle of a sync fails it for a while.
    mmdebstrap --variant=apt --include=ca-certificates "$@" "$(codename "$release")" "$root" \
      >"$root.log" 2>&1 || { sleep 20 && rm -rf "$root" && mmdebstrap --variant=apt \
      --include=ca-certificates "$@" "$(codename "$release")" "$root" >"$root.log" 2>&1; } ||
      { tail -20 "$root.log" >&2; fail "mmdebstrap failed (log: $root.log)"; }
    touch "$root/.made"
  fi
  exec {lock}>&-
  echo "$root"
}

# A step of the scripts that in_root runs: apt-get update, once more after
# 20 s (a mirror in the middle of a sync serves indexes that do not match its
# Release file for a while), else on with the lists the root has.
root_apt_update="apt-get update -qq || { sleep 20; apt-get update -qq; } ||
  echo 'apt-get update failed; going on with the lists apt has' >&2"

# in_root ROOT COMMAND...: runs COMMAND as root inside ROOT with the project
# at /project, a /proc and pseudo-terminals of its own, and a fresh /tmp; the
# mounts end with it. One command at a time in a root: apt in two at once
# would fail on dpkg's lock.
in_root() {
  local root=$1
  shift
  mkdir -p "$root/project"
  flock "$root.lock" unshare --mount --pid --fork --kill-child -- sh -ec '
    root=$1 project=$2
    shift 2
    mount --make-rprivate /
    mount -t proc proc "$root/proc"
    mount -t sysfs -o ro sysfs "$root/sys"
    mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts"
    [ -L "$root/dev/ptmx" ] || mount --bind "$root/dev/pts/ptmx" "$root/dev/ptmx"
    mount -t tmpfs tmpfs "$root/dev/shm"
    mount -t tmpfs tmpfs "$root/tmp"
    mount --bind "$project" "$root/project"
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
      LANG=C.UTF-8 TERM=dumb CI="${CI:-}" "$@"' sh "$root" "$PWD" "$@"
}

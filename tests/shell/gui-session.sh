# Shared by the end-to-end GUI tests (sourced): a private X server, session bus and home, in a
# private mount namespace where only the system mounts stay, so that "every volume" means the
# temporary home on / and the tmpfs volumes the test mounts. Root only.

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; [[ -f "$work/quillo.log" ]] && sed 's/^/  quillo: /' "$work/quillo.log"; exit 1; }

need_tools() {
  for t in "$@"; do command -v "$t" >/dev/null 2>&1 || skip "$t is not installed (scripts/setup installs it)"; done
}

# Re-runs the calling script inside a private mount namespace (once).
isolate() {
  [[ $(id -u) -eq 0 ]] || skip "needs root: the test empties every volume's trash, so it runs in a private mount namespace"
  if [[ -z "${QUILLO_E2E_ISOLATED:-}" ]]; then
    export QUILLO_E2E_ISOLATED=1
    exec "$(dirname "${BASH_SOURCE[0]}")/../../scripts/run-isolated" -- bash "$0" "$@"
  fi
}

pids=()
cleanup() {
  for ((i=${#pids[@]}-1; i>=0; i--)); do kill "${pids[i]}" 2>/dev/null; done
  wait 2>/dev/null
  for m in "${mounts[@]:-}"; do [[ -n "$m" ]] && umount -l "$m" 2>/dev/null; done
  [[ -n "${work:-}" && -z "${E2E_KEEP:-}" ]] && rm -rf "$work"
}
mounts=()
trap cleanup EXIT

# A private home with its XDG folders.
make_home() {
  work=$(mktemp -d /tmp/quillo-e2e.XXXXXX)
  export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share \
         XDG_STATE_HOME=$work/home/.local/state XDG_RUNTIME_DIR=$work/runtime
  mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
  chmod 700 "$XDG_RUNTIME_DIR"
}

# plant_trash DIR COUNT: COUNT files of 4 bytes in the trash folder DIR (holding files/, info/).
plant_trash() {
  mkdir -p "$1/files" "$1/info"
  chmod 700 "$1"
  for ((i = 0; i < $2; i++)); do
    printf 'data' > "$1/files/item$i"
    printf '[Trash Info]\nPath=/x/item%s\nDeletionDate=2024-05-01T10:20:30\n' "$i" > "$1/info/item$i.trashinfo"
  done
}

# A tmpfs volume; its mount point is left in $vol.
mount_volume() {
  vol=$(mktemp -d "$work/vol.XXXXXX")
  mount -t tmpfs -o size=4m "quillo-e2e" "$vol" || fail "cannot mount a tmpfs"
  mounts+=("$vol")
}

start_bus() {
  local out
  out=$(dbus-daemon --session --fork --print-address=1 --print-pid=1) || fail "no dbus-daemon"
  export DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$out")
  pids+=("$(sed -n 2p <<<"$out")")
}

start_x() {
  local fdfile=$work/display
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fdfile" 2>"$work/xvfb.log" &
  pids+=($!)
  for _ in $(seq 100); do [[ -s "$fdfile" ]] && break; sleep 0.05; done
  [[ -s "$fdfile" ]] || fail "Xvfb did not start"
  export DISPLAY=":$(cat "$fdfile")"
}

# wait_for SECONDS COMMAND...: polls the command every 0.1 s.
wait_for() {
  local limit=$(( $1 * 10 )); shift
  for ((n = 0; n < limit; n++)); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}

quillo_windows() { xdotool search --onlyvisible --name '^Quillo$' 2>/dev/null | wc -l; }
windows_at_least() { [[ $(quillo_windows) -ge $1 ]]; }
no_windows() { [[ $(quillo_windows) -eq 0 ]]; }

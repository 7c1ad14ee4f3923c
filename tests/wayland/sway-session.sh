#!/usr/bin/env bash
# A real Wayland session for end-to-end tests: sway on its headless backend (pixman renderer, no
# input devices), swaybar with its tray on as the StatusNotifierWatcher and host, a private session
# bus, and quillo with QT_QPA_PLATFORM=wayland. Root only: sway refuses to run as root, so the
# session belongs to the system user quillo-test (made here with useradd when missing), with its
# own XDG_RUNTIME_DIR (0700), home and XDG folders in a temporary folder. The session lives in a
# private mount namespace where no volume of the machine is in sight (scripts/run-isolated) and in
# its own PID namespace, whose end takes every process of the session with it.
#
#   sway-session.sh start STATE QUILLO QUILLO_CLI   starts it (exit 77, with the reason, where sway
#                                                   cannot run); STATE is a folder for its state
#   sway-session.sh run STATE COMMAND [ARG]...      runs COMMAND as root inside the session, with
#                                                   SESSION_WORK set and these functions at hand
#                                                   through `source sway-session.sh`
#   sway-session.sh stop STATE                      ends it and removes its files
#
# Sourced (no arguments), it gives the functions commands inside the session use: as_user,
# wait_for, windows, shot, picture_is_varied, ocr, the tray item's bus name.
set -u

readonly session_user=quillo-test
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root_dir=$(cd "$here/../.." && pwd)
readonly here root_dir
# The session ends on its own after this long if nobody stops it (a test run that was killed).
readonly session_lifetime=${QUILLO_SWAY_LIFETIME:-1800}

# The system's Python, with the system's python3-dbus (not one a PATH may put first).
python=/usr/bin/python3
[[ -x $python ]] || python=python3

say() { echo "sway-session: $*" >&2; }

# ---- Inside the session -------------------------------------------------------------------------

# as_user COMMAND...: COMMAND as the session's user, with the session's environment only.
as_user() {
  local vars=()
  mapfile -t vars <"$SESSION_WORK/env"
  setpriv --reuid="$session_user" --regid="$session_user" --init-groups --reset-env -- env -i "${vars[@]}" "$@"
}
# spawn_as_user LOG COMMAND...: the same in the background, its output in LOG; its PID in $spawned.
spawn_as_user() {
  local log=$1 vars=()
  shift
  mapfile -t vars <"$SESSION_WORK/env"
  setpriv --reuid="$session_user" --regid="$session_user" --init-groups --reset-env -- env -i "${vars[@]}" "$@" \
    >"$log" 2>&1 &
  spawned=$!
}

# wait_for SECONDS COMMAND...: polls COMMAND every 0.1 s until it succeeds; false once SECONDS
# have passed (counted on the clock: a slow COMMAND such as a picture read by OCR takes longer).
wait_for() {
  local end=$((SECONDS + $1))
  shift
  while :; do
    "$@" >/dev/null 2>&1 && return 0
    ((SECONDS < end)) || return 1
    sleep 0.1
  done
}

# windows: one line per window of quillo in sway's tree (its place with the title bar):
#   CON_ID <tab> tiled|floating <tab> focused|- <tab> X,Y WxH <tab> TITLE
windows() {
  as_user swaymsg -r -t get_tree | "$python" -c '
import json, sys
def walk(node, floating):
    if node.get("app_id") == "org.quillo.quillo-3" and node.get("pid"):
        r, title = node["rect"], node.get("deco_rect", {}).get("height", 0)
        print("%d\t%s\t%s\t%d,%d %dx%d\t%s" % (node["id"], "floating" if floating else "tiled",
              "focused" if node.get("focused") else "-", r["x"], r["y"] - title, r["width"], r["height"] + title,
              node.get("name") or ""))
    for child in node.get("nodes", []):
        walk(child, floating)
    for child in node.get("floating_nodes", []):
        walk(child, True)
walk(json.load(sys.stdin), False)'
}

window_count() { windows | wc -l; }
no_windows() { [[ $(window_count) -eq 0 ]]; }
# window_titled TITLE: the line of the one window with that title (fails unless exactly one).
window_titled() {
  local lines
  lines=$(windows | awk -F '\t' -v t="$1" '$5 == t')
  [[ -n $lines && $(wc -l <<<"$lines") -eq 1 ]] && echo "$lines"
}
field() { cut -f "$1" <<<"$2"; }

# close_windows: closes every window of quillo (a confirmation so closed is cancelled).
close_windows() {
  local id
  for id in $(windows | cut -f 1); do as_user swaymsg "[con_id=$id] kill" >/dev/null; done
  wait_for 10 no_windows
}

# shot GEOMETRY FILE: a grim picture of that part of the screen ("X,Y WxH"), or of all of it.
shot() {
  local tmp
  tmp=$(as_user mktemp "$SESSION_WORK/home/shot.XXXXXX")
  if [[ -n $1 ]]; then as_user grim -t png -g "$1" "$tmp"; else as_user grim -t png "$tmp"; fi || return 1
  mkdir -p "$(dirname "$2")" && cp "$tmp" "$2" && chmod 644 "$2" && rm -f "$tmp"
}

# picture_is_varied FILE: not blank and not of one colour: many colours and a spread of
# brightness, as a window with text and controls has.
picture_is_varied() {
  local stats colours spread
  stats=$(convert "$1" -colorspace Gray -format '%k %[fx:standard_deviation]' info: 2>/dev/null) || return 1
  colours=${stats% *} spread=${stats#* }
  awk -v c="$colours" -v s="$spread" 'BEGIN { exit !(c >= 16 && s >= 0.03) }'
}

# ocr FILE: the text in a picture (enlarged first: window text is small for tesseract).
ocr() {
  local big
  big=$(mktemp --suffix=.png)
  convert "$1" -resize 200% "$big" && tesseract "$big" - 2>/dev/null | tr -s ' \n' ' '
  rm -f "$big"
}

# sni_host COMMAND...: the session bus asked as a tray host asks it (sni-host.py).
sni_host() { as_user "$python" "$SESSION_WORK/bin/sni-host.py" "$@"; }
# The tray items as the watcher lists them: "BUS_NAME/OBJECT_PATH".
registered_items() { sni_host items; }
# bus_pid NAME: the process that owns NAME on the session bus.
bus_pid() { sni_host owner-pid "$1"; }
# gone PID: the process has ended (a child not yet waited for counts as ended).
gone() {
  local stat
  stat=$(ps -o stat= -p "$1" 2>/dev/null)
  [[ -z $stat || $stat == Z* ]]
}
seat_has_keyboard() {
  as_user swaymsg -r -t get_seats |
    "$python" -c 'import json, sys; sys.exit(not any(seat["capabilities"] & 2 for seat in json.load(sys.stdin)))'
}
quillo_pid() { cat "$SESSION_WORK/quillo.pid"; }
quillo_alive() { ! gone "$(quillo_pid)"; }

# ---- The session's own process (PID 1 of its namespace) ----------------------------------------

supervise() {
  local quillo=$1 cli=$2
  local uid gid
  uid=$(id -u "$session_user") gid=$(id -g "$session_user")
  SESSION_WORK=$(mktemp -d /tmp/quillo-wayland.XXXXXX) || exit 1
  export SESSION_WORK
  local work=$SESSION_WORK
  local pids=()
  teardown() {
    trap - TERM INT EXIT
    local i p
    # quillo first (it may be erasing), then the bar and the compositor, the bus last.
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
      p=${pids[i]}
      kill "$p" 2>/dev/null
      wait_for 10 gone "$p" || kill -KILL "$p" 2>/dev/null
    done
    wait 2>/dev/null
    rm -rf "$work"
    echo "stopped"
    exit 0
  }
  trap teardown TERM INT EXIT
  echo "work=$work"

  chmod 755 "$work"
  mkdir -p "$work/bin" "$work/home/.config/sway" "$work/home/.local/share" "$work/home/.local/state" \
    "$work/home/.cache" "$work/runtime" "$work/bus-services"
  # The build tree may be in a folder the session's user cannot enter (a clone under /root).
  # quillo-cli hands most commands to quillo-cli-commands, found beside it.
  cp "$quillo" "$work/bin/quillo" && cp "$cli" "$work/bin/quillo-cli" &&
    cp "$(dirname "$cli")/quillo-cli-commands" "$work/bin/" && cp "$here/sni-host.py" "$work/bin/" || exit 1
  chmod 755 "$work/bin" "$work/bin/quillo" "$work/bin/quillo-cli" "$work/bin/quillo-cli-commands" "$work/bin/sni-host.py"
  # A bar at the top whose tray is on; no wallpaper, no status line.
  cat >"$work/home/.config/sway/config" <<'EOF'
output HEADLESS-1 resolution 1280x720
default_border normal
bar {
  position top
  height 28
  tray_output *
  tray_padding 2
}
EOF
  # A session bus that starts nothing by itself (no dconf, no accessibility bus, no portal).
  cat >"$work/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$work/runtime/bus</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$work/bus-services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
  chown -R "$uid:$gid" "$work/home" "$work/runtime"
  chmod 700 "$work/home" "$work/runtime"
  cat >"$work/env" <<EOF
HOME=$work/home
XDG_CONFIG_HOME=$work/home/.config
XDG_DATA_HOME=$work/home/.local/share
XDG_STATE_HOME=$work/home/.local/state
XDG_CACHE_HOME=$work/home/.cache
XDG_RUNTIME_DIR=$work/runtime
XDG_SESSION_TYPE=wayland
XDG_CURRENT_DESKTOP=sway
PATH=$work/bin:/usr/bin:/bin
LANG=C.UTF-8
DBUS_SESSION_BUS_ADDRESS=unix:path=$work/runtime/bus
QT_QPA_PLATFORM=wayland
EOF

  spawn_as_user "$work/bus.log" dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile
  pids+=("$spawned")
  wait_for 20 test -S "$work/runtime/bus" || { echo "failed: the session bus did not start"; exit 1; }

  spawn_as_user "$work/sway.log" env WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
    sway -c "$work/home/.config/sway/config"
  local sway_pid=$spawned
  pids+=("$sway_pid")
  local socket ipc
  sway_up() {
    socket=
    local s
    for s in "$work"/runtime/wayland-*; do [[ -S $s ]] && socket=${s##*/} && break; done
    ipc=$(ls -1 "$work/runtime"/sway-ipc.*.sock 2>/dev/null | head -n 1)
    [[ -n $socket && -n $ipc ]]
  }
  if ! wait_for 30 sway_up; then
    echo "failed: sway did not start"
    tail -n 20 "$work/sway.log" | sed 's/^/  sway: /'
    exit 1
  fi
  printf 'WAYLAND_DISPLAY=%s\nSWAYSOCK=%s\n' "$socket" "$ipc" >>"$work/env"
  if ! wait_for 30 bus_pid org.kde.StatusNotifierWatcher; then
    echo "failed: swaybar's tray took no StatusNotifierWatcher name"
    tail -n 20 "$work/sway.log" | sed 's/^/  sway: /'
    exit 1
  fi

  # A keyboard on the seat from the start, as a user has one: without it every `wtype` would add
  # the seat's first keyboard, and its keys could come before the client has bound that keyboard.
  spawn_as_user "$work/keyboard.log" wtype -s 86400000
  pids+=("$spawned")
  if ! wait_for 20 seat_has_keyboard; then
    echo "failed: no virtual keyboard on the seat"
    cat "$work/keyboard.log"
    exit 1
  fi

  as_user quillo-cli prefs is_first_run false >/dev/null
  as_user quillo-cli prefs show_install_helper_tool true >/dev/null
  spawn_as_user "$work/quillo.log" quillo
  pids+=("$spawned")
  echo "$spawned" >"$work/quillo.pid"
  # Up: its icon is registered, and its start-up notice is on the screen (there is no notification
  # service here). The notice is kept as a picture and closed, so that every test starts with no
  # window open.
  notice_up() { [[ -n $(registered_items) ]] && window_titled Quillo; }
  if ! wait_for 60 notice_up; then
    echo "failed: quillo did not come up (icon: $(registered_items 2>/dev/null | head -n 1); windows: $(window_count))"
    sed 's/^/  quillo: /' "$work/quillo.log"
    exit 1
  fi
  local notice
  notice=$(window_titled Quillo)
  echo "$notice" >"$work/notice.window"
  notice_drawn() { shot "$(field 4 "$notice")" "$work/notice.png" && picture_is_varied "$work/notice.png"; }
  wait_for 10 notice_drawn
  close_windows
  echo "ready"

  # Until stopped, or until the compositor ends.
  local start=$SECONDS
  while ! gone "$sway_pid" && ((SECONDS - start < session_lifetime)); do
    sleep 1 &
    wait $!
  done
  gone "$sway_pid" && { echo "sway ended:"; tail -n 20 "$work/sway.log"; }
  teardown
}

# ---- Outside: start, run, stop ------------------------------------------------------------------

skip() {
  echo "SKIP: $*"
  mkdir -p "$state" && echo "$*" >"$state/skip"
  exit 77
}

ensure_user() {
  id "$session_user" >/dev/null 2>&1 && return 0
  # Two starts at once make the user once.
  (
    flock 9
    id "$session_user" >/dev/null 2>&1 ||
      useradd --system --user-group --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin \
        "$session_user"
  ) 9>/run/quillo-test-user.lock
}

start() {
  local quillo=$1 cli=$2
  rm -rf "$state"
  mkdir -p "$state"
  [[ $(id -u) -eq 0 ]] || skip "needs root: sway runs as the test user $session_user in private mount and PID namespaces"
  local t
  for t in sway swaybar swaymsg grim wtype dbus-daemon setpriv unshare nsenter findmnt pgrep tesseract convert python3 useradd; do
    command -v "$t" >/dev/null 2>&1 || skip "$t is not installed (scripts/setup installs it)"
  done
  "$python" -c 'import dbus' 2>/dev/null || skip "python3-dbus is not installed (scripts/setup installs it)"
  ensure_user || skip "cannot make the test user $session_user"
  # Isolated from the machine's volumes; in a PID namespace of its own, whose first process is the
  # supervisor: when it ends, the kernel ends whatever of the session is left.
  setsid "$root_dir/scripts/run-isolated" -- unshare --pid --fork --mount-proc --kill-child \
    bash "$here/sway-session.sh" supervise "$quillo" "$cli" >"$state/session.log" 2>&1 </dev/null &
  echo $! >"$state/unshare.pid"
  if ! wait_for 120 grep -qE '^(ready|failed|stopped)' "$state/session.log"; then
    say "the session did not come up in two minutes"
    cat "$state/session.log" >&2
    return 1
  fi
  if ! grep -q '^ready' "$state/session.log"; then
    cat "$state/session.log" >&2
    grep -q 'sway did not start' "$state/session.log" && skip "sway cannot run here: $(grep -A3 'sway did not start' "$state/session.log" | tail -n 3 | tr '\n' ' ')"
    return 1
  fi
  # The supervisor: the child of unshare that is PID 1 inside (unshare may also hold finished
  # children of the shell it replaced).
  local upid child
  upid=$(cat "$state/unshare.pid")
  for child in $(pgrep -P "$upid"); do
    awk '/^NSpid:/ { exit !(NF == 3 && $3 == 1) }' "/proc/$child/status" 2>/dev/null && echo "$child" >"$state/pid"
  done
  [[ -s $state/pid ]] || { say "no supervisor process"; return 1; }
  sed -n 's/^work=//p' "$state/session.log" >"$state/work"
  echo "sway-session: up (work $(cat "$state/work") inside, supervisor $(cat "$state/pid"))"
}

session_running() {
  [[ -s $state/pid ]] && kill -0 "$(cat "$state/pid")" 2>/dev/null
}

run_inside() {
  if [[ -s $state/skip ]]; then
    echo "SKIP: $(cat "$state/skip")"
    exit 77
  fi
  session_running || { echo "FAIL: no Wayland session (see $state/session.log)"; cat "$state/session.log" 2>/dev/null; exit 1; }
  nsenter --target "$(cat "$state/pid")" --mount --pid -- \
    env SESSION_WORK="$(cat "$state/work")" SESSION_LIB="$here/sway-session.sh" "$@"
}

stop() {
  [[ -s $state/unshare.pid ]] || return 0
  local upid pid
  upid=$(cat "$state/unshare.pid")
  pid=$(cat "$state/pid" 2>/dev/null)
  [[ -n $pid ]] && kill -TERM "$pid" 2>/dev/null
  # unshare --kill-child ends the supervisor when unshare itself is ended.
  [[ -z $pid ]] && kill -TERM "$upid" 2>/dev/null
  if ! wait_for 60 gone "$upid"; then
    say "the session did not end; killing it"
    [[ -n $pid ]] && kill -KILL "$pid" 2>/dev/null
    kill -KILL "$upid" 2>/dev/null
    wait_for 10 gone "$upid" || { say "the session is still running (pid $upid)"; return 1; }
  fi
  grep -q '^stopped' "$state/session.log" || { say "the session ended without its teardown:"; cat "$state/session.log" >&2; }
  rm -f "$state/pid" "$state/unshare.pid" "$state/work"
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
  cmd=${1:-}
  shift || true
  case $cmd in
    supervise) supervise "$@" ;;
    start) state=$1; start "$2" "$3" ;;
    run) state=$1; shift; run_inside "$@" ;;
    stop) state=$1; stop ;;
    *) echo "usage: sway-session.sh start STATE QUILLO QUILLO_CLI | run STATE COMMAND... | stop STATE" >&2; exit 2 ;;
  esac
fi

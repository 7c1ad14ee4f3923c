#!/usr/bin/env bash
# End to end under sway: run inside the session of sway-session.sh (as root; the session's user
# does everything a user would). One case per call; every case starts and ends with no window of
# quillo open, so that the cases run in any order on the one session.
#   wayland-e2e.sh tray SHOTS       the icon in swaybar's tray; its left click opens the Lumo Window
#   wayland-e2e.sh second-start SHOTS   quillo --lumo and --empty-all reach the running quillo; the
#                                   confirmation, cancelled and answered with the keyboard
#   wayland-e2e.sh preferences SHOTS    the preferences say hot keys are unavailable here
#   wayland-e2e.sh pictures DIR     the pictures of scripts/screenshots --wayland (no checks but
#                                   that they are not blank)
set -u
# shellcheck source=sway-session.sh
source "$SESSION_LIB"
case_name=${1:?case} shots=${2:?folder for the pictures}
mkdir -p "$shots"

fail() {
  echo "FAIL: $*"
  echo "windows:"; windows | sed 's/^/  /'
  sed 's/^/  quillo: /' "$SESSION_WORK/quillo.log"
  exit 1
}

# words KEY: the first words of the English text under KEY in the localization table, without
# mnemonics and ellipses: what the OCR of a picture must contain (quillo runs with LANG=C.UTF-8).
words() {
  sed -n "s/^\"$1\" = \"\(.*\)\";\$/\1/p" "$root_dir/resources/localization/Localizable.strings" | head -n 1 |
    sed 's/&//g; s/…//g' | awk '{ for (i = 1; i <= NF && i <= 5; i++) printf "%s%s", (i > 1 ? " " : ""), $i }'
}
for key in put_back erase_marked_btn running_notification_text_no_keys info_window_text_no_keys erase_all \
  empty_trash_button cancel_btn hot_keys_unavailable show_alert_check preferences_menu_item_title preferences_title; do
  [[ -n $(words $key) ]] || { echo "FAIL: no English text for $key in the localization table"; exit 1; }
done

user_uid=$(id -u quillo-test)
user_trash=$SESSION_WORK/home/.local/share/Trash
logdir="$SESSION_WORK/home/.local/state/Quillo 3"

# plant TRASH_DIR COUNT: COUNT trashed files of the session's user (4 bytes each).
plant() {
  as_user mkdir -p "$1/files" "$1/info"
  as_user chmod 700 "$1"
  as_user bash -c 'for ((i = 0; i < $2; i++)); do
    printf data >"$1/files/item$i"
    printf "[Trash Info]\nPath=/x/item%s\nDeletionDate=2024-05-01T10:20:30\n" $i >"$1/info/item$i.trashinfo"
  done' plant "$1" "$2"
}
count_files() { find "$1" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l; }

# A tmpfs volume with a trash of the session's user: "every volume" must reach it too.
volume=
mount_volume() {
  volume=$SESSION_WORK/vol/$1
  mkdir -p "$volume"
  mount -t tmpfs -o size=8m quillo-wayland "$volume" || fail "cannot mount a tmpfs"
  chmod 1777 "$volume"
}
cleanup() {
  [[ -n $volume ]] && mountpoint -q "$volume" && umount -l "$volume"
}
trap cleanup EXIT

# The item as swaybar has it: "BUS_NAME/OBJECT_PATH".
item='' item_service=''
find_item() {
  item=$(registered_items | head -n 1)
  [[ -n $item ]] || return 1
  item_service=${item%%/*}
}

# The Lumo Window: the one tiled window, whose buttons put back and erase.
lumo_window_up() {
  local line
  line=$(windows | awk -F '\t' '$2 == "tiled"')
  [[ -n $line && $(wc -l <<<"$line") -eq 1 ]] || return 1
  lumo=$line
}
# check_lumo_window FILE: the picture of the Lumo Window, with its buttons in it.
check_lumo_window() {
  lumo_buttons() { shot "$(field 4 "$lumo")" "$1" && [[ $(ocr "$1") == *"$(words put_back)"*"$(words erase_marked_btn)"* ]]; }
  wait_for 10 lumo_buttons "$1" || fail "the window that came up is not the Lumo Window (read: $(ocr "$1"))"
  picture_is_varied "$1" || fail "the picture of the Lumo Window is blank or of one colour: $1"
}

quillo_alive || fail "quillo is not running"
close_windows || fail "windows of quillo stayed open from before: $(windows)"

case $case_name in
tray)
  # swaybar is the watcher and the host, and the item is quillo's.
  swaybar=$(pgrep -x swaybar) || fail "no swaybar"
  [[ $(bus_pid org.kde.StatusNotifierWatcher) == "$swaybar" ]] || fail "the StatusNotifierWatcher is not swaybar"
  find_item || fail "no item registered with swaybar's watcher"
  [[ $(registered_items | wc -l) -eq 1 ]] || fail "more than one item: $(registered_items)"
  [[ $(bus_pid "$item_service") == "$(quillo_pid)" ]] || fail "the registered item is not quillo's"

  # swaybar drew the icon: the right end of the bar is not its plain background.
  icon_x=$((1280 - 14)) icon_y=14
  icon_drawn() {
    shot "1252,0 28x28" "$shots/wayland-tray-icon.png" &&
      (($(convert "$shots/wayland-tray-icon.png" -format %k info:) >= 4))
  }
  wait_for 10 icon_drawn || fail "no icon in swaybar's tray (the end of the bar is of one colour)"

  # The start-up notice: with the icon in the bar and no notification service it is a window
  # that points at the icon.
  notice=$(ocr "$SESSION_WORK/notice.png")
  [[ $notice == *"$(words running_notification_text_no_keys)"* ]] ||
    fail "the start-up notice does not point at the tray icon: $notice"
  [[ $notice != *"$(words info_window_text_no_keys)"* ]] || fail "the start-up notice says there is no tray: $notice"
  # A note, not a window to arrange: sway floats it rather than stretching it over the screen.
  [[ $(field 2 "$(cat "$SESSION_WORK/notice.window")") == floating ]] ||
    fail "the start-up notice is tiled: $(cat "$SESSION_WORK/notice.window")"
  cp "$SESSION_WORK/notice.png" "$shots/wayland-notice.png"

  # A left click on the icon: swaybar calls Activate with the pointer's place.
  sni_host activate "$item" $icon_x $icon_y || fail "Activate failed"
  wait_for 20 lumo_window_up || fail "Activate opened no Lumo Window"
  lumo_focused() { windows | awk -F '\t' '$2 == "tiled" && $3 == "focused"' | grep -q .; }
  wait_for 10 lumo_focused || fail "the Lumo Window did not take the focus"
  check_lumo_window "$shots/wayland-lumo-window.png"
  # A second click with the window open brings the same window, not a second one.
  sni_host activate "$item" $icon_x $icon_y
  as_user quillo --lumo || fail "quillo --lumo failed"
  [[ $(window_count) -eq 1 ]] || fail "a second window opened: $(windows)"

  close_windows || fail "the Lumo Window did not close"
  quillo_alive || fail "quillo ended when its window closed"
  [[ $(registered_items) == "$item" ]] || fail "the icon left the tray"
  ;;

second-start)
  plant "$user_trash" 3
  mount_volume Stick
  plant "$volume/.Trash-$user_uid" 2

  # quillo --lumo: the second start hands over and ends; the running one opens its window.
  timeout 20 bash -c "source '$SESSION_LIB'; as_user quillo --lumo" || fail "quillo --lumo did not hand over"
  wait_for 20 lumo_window_up || fail "quillo --lumo opened no Lumo Window"
  check_lumo_window "$shots/wayland-lumo-window-second-start.png"
  [[ $(pgrep -x quillo | wc -l) -eq 1 ]] || fail "more than one quillo runs: $(pgrep -a quillo)"
  close_windows || fail "the Lumo Window did not close"

  # quillo --empty-all: the confirmation is a window of its own, floating, with the keyboard.
  confirmation_up() {
    confirmation=$(windows | awk -F '\t' '$2 == "floating" && $3 == "focused" && $5 == "Quillo"')
    [[ -n $confirmation && $(wc -l <<<"$confirmation") -eq 1 ]]
  }
  timeout 20 bash -c "source '$SESSION_LIB'; as_user quillo --empty-all" || fail "quillo --empty-all did not hand over"
  wait_for 20 confirmation_up || fail "no focused confirmation after quillo --empty-all"
  # The count covers both trashes (measured after the window shows).
  counted() {
    shot "$(field 4 "$confirmation")" "$shots/wayland-confirmation.png" &&
      [[ $(ocr "$shots/wayland-confirmation.png") == *"5 items"* ]]
  }
  wait_for 20 counted ||
    fail "the confirmation does not count the 5 items of both trashes: $(ocr "$shots/wayland-confirmation.png")"
  picture_is_varied "$shots/wayland-confirmation.png" || fail "the picture of the confirmation is blank"
  text=$(ocr "$shots/wayland-confirmation.png")
  [[ $text == *"$(words erase_all)"* && $text == *"$(words empty_trash_button)"* && $text == *"$(words cancel_btn)"* ]] ||
    fail "the confirmation does not ask to empty every trash: $text"

  # Escape cancels: nothing erased.
  as_user wtype -k Escape || fail "wtype failed"
  wait_for 10 no_windows || fail "the confirmation did not close on Escape"
  [[ $(count_files "$user_trash/files") -eq 3 && $(count_files "$volume/.Trash-$user_uid/files") -eq 2 ]] ||
    fail "a cancelled confirmation erased something"

  # Return takes the default button, Empty Trash: both trashes are emptied and logged.
  as_user quillo --empty-all || fail "quillo --empty-all did not hand over"
  wait_for 20 confirmation_up || fail "no confirmation after the second quillo --empty-all"
  as_user wtype -k Return || fail "wtype failed"
  emptied() { [[ $(count_files "$user_trash/files") -eq 0 && $(count_files "$volume/.Trash-$user_uid/files") -eq 0 ]]; }
  wait_for 30 emptied ||
    fail "the trashes were not emptied: $(ls -A "$user_trash/files" "$volume/.Trash-$user_uid/files")"
  [[ $(count_files "$user_trash/info") -eq 0 ]] || fail "info files stayed: $(ls -A "$user_trash/info")"
  wait_for 10 grep -rqs "$volume/.Trash-$user_uid/files/item1" "$logdir" || fail "the log does not name the volume's item"
  wait_for 20 no_windows || fail "a window stayed open after the erase: $(windows)"
  quillo_alive || fail "quillo ended after the erase"
  ;;

preferences)
  # No desktop portal on this bus: global hot keys have no way in.
  sni_host names | grep -q '^org.freedesktop.portal.Desktop$' && fail "a desktop portal is on the session bus"
  find_item || fail "no item registered"
  # The exported menu, as a host that shows it would read it; its Preferences row clicked.
  sni_host menu-click "$item" "$(words preferences_menu_item_title)" || fail "no Preferences row to click in the exported menu"
  prefs_up() { prefs=$(window_titled "$(words preferences_title)"); }
  wait_for 20 prefs_up || fail "the preferences window did not open"
  shot "$(field 4 "$prefs")" "$shots/wayland-preferences.png" || fail "grim took no picture of the preferences"
  picture_is_varied "$shots/wayland-preferences.png" || fail "the picture of the preferences is blank"
  text=$(ocr "$shots/wayland-preferences.png")
  [[ $text == *"$(words hot_keys_unavailable)"* ]] ||
    fail "the preferences do not say hot keys are unavailable: $text"
  [[ $text == *"$(words show_alert_check)"* ]] || fail "the preferences lack their general part: $text"
  close_windows || fail "the preferences did not close"
  # Nothing else broke: quillo runs, its icon is there, its window opens.
  quillo_alive || fail "quillo ended"
  [[ $(registered_items) == "$item" ]] || fail "the icon left the tray"
  as_user quillo --lumo || fail "quillo --lumo failed after the preferences"
  wait_for 20 lumo_window_up || fail "no Lumo Window after the preferences"
  close_windows || fail "the Lumo Window did not close"
  ;;

pictures)
  # The pictures of scripts/screenshots --wayland: trashes on the home and on two volumes.
  plant_named() {
    local trash=$1 size=$2
    shift 2
    as_user mkdir -p "$trash/files" "$trash/info"
    as_user chmod 700 "$trash"
    for name in "$@"; do
      head -c "$size" /dev/urandom | as_user tee "$trash/files/$name" >/dev/null
      printf '[Trash Info]\nPath=/home/user/Documents/%s\nDeletionDate=2024-05-01T10:20:30\n' "$name" |
        as_user tee "$trash/info/$name.trashinfo" >/dev/null
    done
  }
  plant_named "$user_trash" 120000 "Report draft.odt" "Invoice 2023.pdf" "notes.txt" "video.mkv"
  mount_volume "Backup Disk"
  backup=$volume
  plant_named "$backup/.Trash-$user_uid" 2000000 "old-build.tar" "Holiday photos.zip"
  volume=
  mount_volume "Camera Card"
  plant_named "$volume/.Trash-$user_uid" 2500000 "IMG_0001.JPG" "IMG_0002.JPG" "IMG_0003.JPG"
  cleanup_backup() { mountpoint -q "$backup" && umount -l "$backup"; cleanup; }
  trap cleanup_backup EXIT

  cp "$SESSION_WORK/notice.png" "$shots/wayland-notice.png"
  as_user quillo --lumo || fail "quillo --lumo failed"
  wait_for 20 lumo_window_up || fail "no Lumo Window"
  # Its rows measured: the window as a person sees it, with the bar and the tray icon above it.
  measured() { shot "" "$shots/wayland-desktop.png" && [[ $(ocr "$shots/wayland-desktop.png") == *"Camera Card"*"items"* ]]; }
  wait_for 30 measured || echo "pictures: the rows were not measured in time" >&2
  shot "$(field 4 "$lumo")" "$shots/wayland-lumo-window.png"
  close_windows
  as_user quillo --empty-all || fail "quillo --empty-all failed"
  confirmation_up() { confirmation=$(windows | awk -F '\t' '$2 == "floating" && $5 == "Quillo"'); [[ -n $confirmation ]]; }
  wait_for 20 confirmation_up || fail "no confirmation"
  counted() { shot "" "$shots/wayland-confirmation-desktop.png" && [[ $(ocr "$shots/wayland-confirmation-desktop.png") == *"items,"*"in all Trashes"* ]]; }
  wait_for 30 counted || echo "pictures: the confirmation did not count in time" >&2
  shot "$(field 4 "$confirmation")" "$shots/wayland-confirmation.png"
  as_user wtype -k Escape
  no_floating() { ! windows | awk -F '\t' '$2 == "floating"' | grep -q .; }
  wait_for 10 no_floating
  close_windows
  find_item || fail "no item"
  sni_host menu-click "$item" "$(words preferences_menu_item_title)" || fail "no Preferences row in the exported menu"
  prefs_up() { prefs=$(window_titled "$(words preferences_title)"); }
  wait_for 20 prefs_up || fail "no preferences window"
  # Drawn once it has its place.
  drawn() { shot "$(field 4 "$prefs")" "$shots/wayland-preferences.png" && picture_is_varied "$shots/wayland-preferences.png"; }
  wait_for 10 drawn
  close_windows
  for picture in "$shots"/wayland-*.png; do
    picture_is_varied "$picture" || echo "pictures: $picture is blank or of one colour" >&2
  done
  ;;

*)
  echo "unknown case $case_name" >&2
  exit 2
  ;;
esac
echo "PASS: $case_name"

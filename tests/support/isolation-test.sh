#!/usr/bin/env bash
# The tests never see, let alone erase, a volume of the machine. A stick is mounted as desktops
# mount a labelled one, at a path with a space and a non-ASCII letter ("/media/tester/My Stické",
# "My\040Stické" in mountinfo), with one item in the trash of the user the tests run as; then the
# suites that list or erase every volume run (ctest -R REGEX on BUILD_DIR), and the item must
# still be there.
# The mount happens in a private mount namespace of its own: the machine's other processes never
# see the stick. Root only (exit 77 otherwise).
# Usage: isolation-test.sh BUILD_DIR QUILLO_CLI REGEX
set -uo pipefail

if [[ $(id -u) -ne 0 ]]; then echo "SKIP: needs root (mounts a stick in a private mount namespace)"; exit 77; fi
for t in unshare findmnt ctest; do
  command -v "$t" >/dev/null || { echo "SKIP: $t is not installed"; exit 77; }
done
build=${1:?usage: isolation-test.sh BUILD_DIR QUILLO_CLI REGEX}
cli=${2:?}
regex=${3:?}

if [[ -z ${QUILLO_ISOLATION_TEST_INNER:-} ]]; then
  export QUILLO_ISOLATION_TEST_INNER=1
  exec unshare --mount --propagation private -- bash "$0" "$@"
fi
fail() { echo "FAIL: $*"; exit 1; }

# The stick sits on /, as a desktop's does (a mount of our own below it would be unmounted with
# the stick by any isolation, good or bad); the folders made for it go at the end.
stick="/media/tester/My Stické"
made=()
for d in /media /media/tester "$stick"; do [[ -e $d ]] || made=("$d" "${made[@]}"); done
mkdir -p "$stick"
cleanup() { umount -l "$stick" 2>/dev/null; for d in "${made[@]}"; do rmdir "$d" 2>/dev/null; done; }
trap cleanup EXIT
mount -t tmpfs -o size=16m,mode=0755 quillo-test-stick "$stick" || fail "cannot mount the stick"
grep -q 'My\\040Stické' /proc/self/mountinfo || fail "mountinfo does not show the stick as expected"
trash="$stick/.Trash-$(id -u)"
mkdir -p "$trash/files" "$trash/info"
chmod 700 "$trash"
echo "keep me" >"$trash/files/holiday photo.jpg"
printf '[Trash Info]\nPath=/home/tester/holiday%%20photo.jpg\nDeletionDate=2024-05-01T10:20:30\n' \
  >"$trash/info/holiday photo.jpg.trashinfo"

# The premise: without isolation, Quillo lists the stick's trash.
"$cli" volumes 2>&1 | grep -q "My Stické" || fail "quillo-cli does not list the stick here: the test proves nothing"

echo "== running the suites that list or erase every volume, with the stick mounted"
ctest --test-dir "$build" -R "$regex" -E '^IsolationKeepsTheMachinesVolumes' --output-on-failure --timeout 300
suites=$?

[[ -f "$trash/files/holiday photo.jpg" ]] || fail "the stick's trashed item was erased by the test run"
[[ -f "$trash/info/holiday photo.jpg.trashinfo" ]] || fail "the stick's trash info was erased by the test run"
[[ $(cat "$trash/files/holiday photo.jpg") == "keep me" ]] || fail "the stick's trashed item was changed"
((suites == 0)) || fail "the suites failed with the stick mounted (ctest status $suites)"
echo "PASS: the stick's trash is untouched and the suites pass"

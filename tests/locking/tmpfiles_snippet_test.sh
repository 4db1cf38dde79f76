#!/bin/sh
# The shipped systemd-tmpfiles snippet, applied under a scratch root: it must
# parse, make the lock directory root's with mode 1777, and take over one that
# a user made first. Skips (77) without systemd-tmpfiles or without root.
set -eu
snippet=$1
command -v systemd-tmpfiles >/dev/null || { echo "no systemd-tmpfiles here"; exit 77; }
[ "$(id -u)" = 0 ] || { echo "needs root to make root's directory"; exit 77; }
id nobody >/dev/null 2>&1 || { echo "no user nobody here"; exit 77; }

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -m 1777 "$root/tmp"
cp "$snippet" "$root/zelm.conf"

check() {
    systemd-tmpfiles --root="$root" --create "$root/zelm.conf"
    actual=$(stat -c '%a %U' "$root/tmp/rezored_izede")
    [ "$actual" = "1777 root" ] || { echo "$1: lock directory is '$actual', not '1777 root'"; exit 1; }
}
check "fresh"
chmod 0777 "$root/tmp/rezored_izede"
chown nobody "$root/tmp/rezored_izede"
check "made by another user first"

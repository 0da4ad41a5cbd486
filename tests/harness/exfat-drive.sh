#!/usr/bin/env bash
# Maps a real exFAT volume as drive X: of the build tree's Wine prefix, or
# takes it away again:
#   exfat-drive.sh mount | unmount
# A 64 MiB image made with exfatprogs, on a loop device, mounted with
# exfat-fuse (which needs a block device). When the machine refuses any of
# it (not root, no loop devices, no FUSE), the reason is left in
# exfat-drive.skip for the test to report as its skip.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
mountPoint="$TARVO_WINE_ROOT/exfat-drive"
image="$TARVO_WINE_ROOT/exfat-drive.img"
loopFile="$TARVO_WINE_ROOT/exfat-drive.loop"
skip="$TARVO_WINE_ROOT/exfat-drive.skip"

refuse() {
  echo "the machine refused an exFAT volume: $1" >"$skip"
  cat "$skip"
  exit 0
}

unmount() {
  rm -f "$WINEPREFIX/dosdevices/x:"
  if mountpoint -q "$mountPoint"; then umount "$mountPoint" 2>/dev/null || umount -l "$mountPoint"; fi
  [ -f "$loopFile" ] && losetup -d "$(cat "$loopFile")" 2>/dev/null
  rm -f "$loopFile" "$image"
}

case "${1:-}" in
  mount)
    rm -f "$skip"
    unmount
    mkdir -p "$mountPoint"
    truncate -s 64M "$image" || refuse "no room for the image"
    error=$(mkfs.exfat "$image" 2>&1) || refuse "mkfs.exfat: ${error:-no reason given}"
    loop=$(losetup -f --show "$image" 2>&1) || refuse "losetup: ${loop:-no reason given}"
    echo "$loop" >"$loopFile"
    error=$(mount.exfat-fuse "$loop" "$mountPoint" 2>&1) || refuse "mount.exfat-fuse: ${error:-no reason given}"
    ln -sfn "$mountPoint" "$WINEPREFIX/dosdevices/x:"
    echo "drive X: is an exFAT volume at $mountPoint ($loop)"
    ;;
  unmount)
    unmount
    exit 0
    ;;
  *) echo "usage: exfat-drive.sh mount|unmount" >&2; exit 2 ;;
esac

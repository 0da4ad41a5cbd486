#!/usr/bin/env bash
# Maps a 1 MiB tmpfs as drive T: of the build tree's Wine prefix, for the
# full-disk test, or takes it away again:
#   small-drive.sh mount | unmount
# When the machine refuses the mount (not root, no tmpfs), the reason is left
# in small-drive.skip for the test to report as its skip.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
mountPoint="$TARVO_WINE_ROOT/small-drive"
skip="$TARVO_WINE_ROOT/small-drive.skip"

case "${1:-}" in
  mount)
    rm -f "$skip"
    mkdir -p "$mountPoint"
    mountpoint -q "$mountPoint" && umount "$mountPoint"
    if ! error=$(mount -t tmpfs -o size=1m tmpfs "$mountPoint" 2>&1); then
      echo "the machine refused a 1 MiB tmpfs mount: ${error:-no reason given}" >"$skip"
      cat "$skip"
      exit 0
    fi
    ln -sfn "$mountPoint" "$WINEPREFIX/dosdevices/t:"
    echo "drive T: is a 1 MiB tmpfs at $mountPoint"
    ;;
  unmount)
    rm -f "$WINEPREFIX/dosdevices/t:"
    mountpoint -q "$mountPoint" && umount "$mountPoint"
    exit 0
    ;;
  *) echo "usage: small-drive.sh mount|unmount" >&2; exit 2 ;;
esac

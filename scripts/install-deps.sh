#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and any named on
# the command line; does nothing when they are all present.
set -euo pipefail
packages=(
  cmake make python3 g++-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev googletest
  wine64 wine fonts-wine xvfb x11-utils imagemagick fonts-liberation icoutils python3-pefile liblnk-utils
  osslsigncode openssl python3-yaml softhsm2 libengine-pkcs11-openssl opensc exfatprogs exfat-fuse
  "$@"
)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"

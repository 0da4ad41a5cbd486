#!/usr/bin/env bash
# Release builds of the same sources in other folders give the same bytes:
# two unsigned ones, with the same setup file and winget manifest, and one
# signed in the build with a PKCS#12 file whose password comes from the
# environment. The signed build's package before signing equals the first
# one's setup file, and its signed file equals the first one's signed with
# the same key as PEM files at the same signing time.
#   reproducible_test.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source=$1 work=$2
rm -rf "$work"
mkdir -p "$work"
export SOURCE_DATE_EPOCH=1767225600

openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=Tarvo Test Signing" -addext extendedKeyUsage=codeSigning \
  -addext keyUsage=digitalSignature -keyout "$work/key.pem" -out "$work/cert.pem" -days 30 2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/identity.p12" -passout pass:tarvo-test

build() {
  local tree="$work/$1"
  shift
  mkdir -p "$tree"
  (cd "$source" && git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$tree")
  cmake -S "$tree" --preset release "$@" >/dev/null
  cmake --build "$tree/build/release" -j "$(nproc)" >/dev/null
}
build one
build "three, again"
TARVO_SIGN_PASSWORD=tarvo-test build "two, signed" -DTARVO_SIGN_PKCS12="$work/identity.p12" \
  -DTARVO_SIGN_CA_FILE="$work/cert.pem"
one="$work/one/build/release" two="$work/two, signed/build/release"

"$source/tools/sign_setup.sh" "$one/TarvoMarkwise_Setup.exe" "$work/signed-from-pem.exe" \
  --certs "$work/cert.pem" --key "$work/key.pem" --ca-file "$work/cert.pem" >/dev/null
status=0
for pair in "setup.exe setup.exe" "TarvoStandin.exe TarvoStandin.exe" \
            "TarvoMarkwise_Setup.exe TarvoMarkwise_Setup.unsigned.exe"; do
  set -- $pair
  if cmp "$one/$1" "$two/$2"; then echo "same bytes: $1"; else status=1; fi
done
if cmp "$work/signed-from-pem.exe" "$two/TarvoMarkwise_Setup.exe"; then echo "same bytes: signed setup file"; else status=1; fi
three="$work/three, again/build/release"
for file in TarvoMarkwise_Setup.exe winget/TarvoSistem.TarvoMarkwise.yaml winget/TarvoSistem.TarvoMarkwise.installer.yaml \
            winget/TarvoSistem.TarvoMarkwise.locale.tr-TR.yaml; do
  if cmp "$one/$file" "$three/$file"; then echo "same bytes: $file"; else status=1; fi
done
exit $status

#!/usr/bin/env bash
# Release builds of the same sources in other folders give the same bytes:
# two unsigned ones, with the same setup file and winget manifest, and one
# signed in the build with a PKCS#12 file whose password comes from the
# environment. The signed build's package before signing equals the first
# one's setup file, and its signed file equals the first one's signed with
# the same key as PEM files at the same signing time. A fourth is signed with
# a key generated inside a SoftHSM token, through its PKCS#11 module, the
# PIN given only in the environment: it verifies against the token's
# certificate, which it names as signer; the manifest carries its hash; the
# PIN is in no file of its build tree; signing the first build's setup file
# with the same token in another folder gives the same bytes; and it
# installs and uninstalls under Wine.
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
# A token in the work folder, with an RSA-3072 key generated inside it (it
# never leaves the token) and a certificate made from that key.
pin=4711-tarvo-pin module=/usr/lib/softhsm/libsofthsm2.so
export SOFTHSM2_CONF="$work/softhsm2.conf"
mkdir -p "$work/tokens"
printf 'directories.tokendir = %s\nobjects.backend = file\nlog.level = ERROR\n' "$work/tokens" >"$SOFTHSM2_CONF"
softhsm2-util --init-token --free --label TarvoTest --pin "$pin" --so-pin 0000-tarvo-so >/dev/null
pkcs11-tool --module "$module" --login --pin "$pin" --token-label TarvoTest --keypairgen --key-type rsa:3072 --id 01 \
  --label signkey >/dev/null 2>&1
openssl req -new -x509 -engine pkcs11 -keyform engine -key "pkcs11:token=TarvoTest;object=signkey;type=private;pin-value=$pin" \
  -subj "/CN=Tarvo Token Signing" -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature -days 30 \
  -out "$work/token-cert.pem" >/dev/null 2>&1
key_uri="pkcs11:token=TarvoTest;object=signkey;type=private"

build one
build "three, again"
TARVO_SIGN_PASSWORD=$pin build "four, token" -DTARVO_SIGN_PKCS11_MODULE="$module" -DTARVO_SIGN_KEY="$key_uri" \
  -DTARVO_SIGN_CERT="$work/token-cert.pem" -DTARVO_SIGN_CA_FILE="$work/token-cert.pem"
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

four="$work/four, token/build/release"
token_signed="$four/TarvoMarkwise_Setup.exe"
check() { if "${@:2}"; then echo "$1"; else echo "FAILED: $1"; status=1; fi; }
check "token: the package before signing is the first build's" cmp -s "$one/TarvoMarkwise_Setup.exe" "$four/TarvoMarkwise_Setup.unsigned.exe"
verified=$(osslsigncode verify -CAfile "$work/token-cert.pem" -in "$token_signed" 2>&1 || true)
check "token: verifies against its certificate" grep -q "^Succeeded" <<<"$verified"
check "token: names it as signer" grep -q "Subject: /CN=Tarvo Token Signing" <<<"$verified"
digest=$(sha256sum "$token_signed" | cut -d' ' -f1)
check "token: the manifest carries the signed file's hash" grep -qi "InstallerSha256: \"\?$digest" \
  "$four/winget/TarvoSistem.TarvoMarkwise.installer.yaml"
check "token: the PIN is in no file of the build tree" test -z "$(grep -rl -- "$pin" "$work/four, token/build" || true)"
TARVO_SIGN_PASSWORD=$pin "$source/tools/sign_setup.sh" "$one/TarvoMarkwise_Setup.exe" "$work/token-again.exe" \
  --certs "$work/token-cert.pem" --key "$key_uri" --pkcs11-module "$module" --ca-file "$work/token-cert.pem" >/dev/null
check "token: same bytes when signed again in another folder" cmp -s "$token_signed" "$work/token-again.exe"

# Installed and uninstalled under Wine, as a user would run it.
if [ -n "${TARVO_WINE_ROOT:-}" ]; then
  run() { "$source/tests/harness/wine-run.sh" "$@" </dev/null >"$work/wine.out" 2>&1; }
  check "token: installs under Wine" run "$token_signed" --silent
  check "token: uninstalls under Wine" run "$token_signed" --uninstall --silent
fi
exit $status

#!/usr/bin/env bash
# Signs a packed setup file with Authenticode (SHA-256) and verifies it:
#   sign_setup.sh IN OUT (--certs PEM --key PEM | --certs PEM --key URI --pkcs11-module FILE | --pkcs12 FILE)
#                 [--timestamp URL] [--ca-file PEM]
# With --pkcs11-module the key is the pkcs11: URI of a key that never leaves
# its token, HSM or key service; the module is that device's PKCS#11
# library. A PKCS#12 file's password, or a token's PIN, is read from the
# environment variable TARVO_SIGN_PASSWORD and handed over on a pipe, never
# on a command line.
# SOURCE_DATE_EPOCH, when set, is the signing time: the same input then gives
# the same signed file. The signature is verified against --ca-file, or the
# system's trusted roots; OUT is written only when it verifies.
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: sign_setup.sh IN OUT (--certs PEM --key PEM|URI [--pkcs11-module FILE] | --pkcs12 FILE) [--timestamp URL] [--ca-file PEM]" >&2; exit 2; }
in=$1 out=$2
shift 2
signing="$out.signing"
sign=(osslsigncode sign -h sha256 -in "$in" -out "$signing")
verify=(osslsigncode verify -in "$signing")
pkcs12="" module=""
while [ $# -gt 0 ]; do
  case "$1" in
    --certs) sign+=(-certs "$2") ;;
    --key) sign+=(-key "$2") ;;
    --pkcs12) sign+=(-pkcs12 "$2"); pkcs12=$2 ;;
    --pkcs11-module) sign+=(-pkcs11module "$2"); module=$2 ;;
    --timestamp) [ -z "$2" ] || sign+=(-ts "$2") ;;
    --ca-file) [ -z "$2" ] || verify+=(-CAfile "$2") ;;
    *) echo "sign_setup: unknown argument: $1" >&2; exit 2 ;;
  esac
  shift 2
done
[ -z "${SOURCE_DATE_EPOCH:-}" ] || sign+=(-time "$SOURCE_DATE_EPOCH")

rm -f "$signing"
trap 'rm -f "$signing"' EXIT
if [ -n "$pkcs12" ] && [ -z "${TARVO_SIGN_PASSWORD+set}" ]; then
  echo "sign_setup: set TARVO_SIGN_PASSWORD to the password of $pkcs12" >&2
  exit 1
fi
# A token that asks for no PIN (a key service that authenticates otherwise)
# is signed with as it is.
if [ -n "$pkcs12$module" ] && [ -n "${TARVO_SIGN_PASSWORD+set}" ]; then
  printf '%s' "$TARVO_SIGN_PASSWORD" | "${sign[@]}" -readpass /dev/stdin >/dev/null
else
  "${sign[@]}" >/dev/null
fi
if ! result=$("${verify[@]}" 2>&1); then
  echo "$result" >&2
  echo "sign_setup: $signing does not verify" >&2
  exit 1
fi
mv "$signing" "$out"
echo "$out: signed and verified"

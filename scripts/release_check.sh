#!/usr/bin/env bash
# The release as CI checks it, from an unsigned release folder (scripts/reproducible.sh --keep DIR):
#   - signs its Windows programs with a throwaway certificate made here (scripts/release.sh --from-unsigned),
#     `osslsigncode verify` passes against the throwaway CA, and removing the signature gives back the unsigned
#     (reproducible) bytes;
#   - SHA256SUMS checks;
#   - lintian finds no error and no warning in the .deb (the package's overrides give their reasons);
#   - the .deb installs, `helmet-update --version` and `helmet-update list` (no unit: status 3) run from the
#     installed path, and it is purged again (needs root, as CI is).
# Usage: scripts/release_check.sh UNSIGNED_RELEASE_DIR
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
unsigned=$(realpath "$1")
work=$(mktemp -d "${TMPDIR:-/tmp}/release-check.XXXXXX")
trap 'rm -rf "$work"' EXIT
started=$SECONDS

echo "=== release check: a throwaway CA and code-signing certificate"
(
  cd "$work"
  openssl req -x509 -newkey rsa:3072 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Throwaway release CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
  openssl req -newkey rsa:3072 -nodes -keyout signer.key -out signer.csr -subj "/CN=Throwaway code signing" 2>/dev/null
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext
  openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile signer.ext \
    -out signer.pem 2>/dev/null
  head -c 24 /dev/urandom | base64 >password
  openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -passout file:password -out signer.p12
)

bash "$src/scripts/release.sh" --from-unsigned "$unsigned" --out "$work/release" \
  --pkcs12 "$work/signer.p12" --password-file "$work/password" >/dev/null
for program in HelmetUpdater.exe helmet-update.exe; do
  osslsigncode verify -CAfile "$work/ca.pem" -in "$work/release/$program" >"$work/verify.log" 2>&1 ||
    { cat "$work/verify.log"; echo "release check: the signature of $program does not verify" >&2; exit 1; }
  osslsigncode remove-signature -in "$work/release/$program" -out "$work/$program.unsigned" >/dev/null
  cmp "$work/$program.unsigned" "$unsigned/$program" ||
    { echo "release check: $program without its signature is not the unsigned build" >&2; exit 1; }
  echo "release check: $program signed, verified; without the signature it is the reproducible build"
done
(cd "$work/release" && sha256sum --quiet -c SHA256SUMS)
echo "release check: SHA256SUMS checks"

deb=$(ls "$work/release"/helmet-update_*.deb)
lintian --fail-on error,warning --tag-display-limit 0 "$deb"
echo "release check: lintian finds nothing in $(basename "$deb")"

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO dpkg -i "$deb" >/dev/null
version_status=0
list_status=0
/usr/bin/helmet-update --version || version_status=$?
/usr/bin/helmet-update list || list_status=$?
$SUDO dpkg -P helmet-update >/dev/null
[ ! -e /usr/bin/helmet-update ] || { echo "release check: /usr/bin/helmet-update is left after the purge" >&2; exit 1; }
if [ $version_status -ne 0 ] || [ $list_status -ne 3 ]; then
  echo "release check: the installed program: --version status $version_status (expected 0)," \
       "list status $list_status (expected 3: no unit)" >&2
  exit 1
fi
echo "release check: the package installs, runs (list: status 3, no unit) and is purged; $((SECONDS - started)) s"

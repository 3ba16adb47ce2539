#!/usr/bin/env bash
# Makes the release folder from the source tree this script lies in:
#   HelmetUpdater.exe, helmet-update.exe   the Windows programs, signed with Authenticode (osslsigncode)
#   helmet-update                           the native terminal program (Linux x86-64)
#   helmet-update_<version>_amd64.deb       its Debian package (program, man page, completions, udev rule)
#   sbom.cdx.json                           the bill of materials (CycloneDX 1.5): what was compiled and linked in
#   SHA256SUMS                              the checksums of the files above
# The builds are release builds of their own (no tests), reproducible: SOURCE_DATE_EPOCH is the commit's time.
#
# The certificate (environment variables, or the options of the same name in lower case with dashes):
#   RELEASE_PKCS12 + RELEASE_PASSWORD_FILE      a PKCS#12 file with the key and the certificate chain, and a file
#                                               holding its password
#   RELEASE_PKCS11_MODULE + RELEASE_KEY_ID      a key on a token: the token's PKCS#11 module, the key's id or
#     + RELEASE_CERTS [+ RELEASE_PKCS11_ENGINE] pkcs11: URI, the certificate chain (PEM), and OpenSSL's PKCS#11
#                                               engine (default: the one libengine-pkcs11-openssl installs)
#   RELEASE_TIMESTAMP_URL                       an RFC 3161 time-stamp server (the signature then outlives the
#                                               certificate)
#
# Usage: scripts/release.sh [--out DIR] [--unsigned] [--from-unsigned DIR] [--pkcs12 FILE --password-file FILE]
#                           [--pkcs11-module SO --key-id ID --certs PEM [--pkcs11-engine SO]] [--timestamp-url URL]
#   --unsigned            leave the Windows programs unsigned (the reproducibility check compares these)
#   --from-unsigned DIR   build nothing: sign the programs of a release folder made with --unsigned
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
out=$src/build/release
trees=$src/build/release-trees
unsigned=0
from=""
pkcs12=${RELEASE_PKCS12:-}
password_file=${RELEASE_PASSWORD_FILE:-}
pkcs11_module=${RELEASE_PKCS11_MODULE:-}
pkcs11_engine=${RELEASE_PKCS11_ENGINE:-}
key_id=${RELEASE_KEY_ID:-}
certs=${RELEASE_CERTS:-}
timestamp_url=${RELEASE_TIMESTAMP_URL:-}
while [ $# -gt 0 ]; do
  case $1 in
    --out) out=$(realpath -m "$2"); shift ;;
    --unsigned) unsigned=1 ;;
    --from-unsigned) from=$(realpath "$2"); shift ;;
    --pkcs12) pkcs12=$2; shift ;;
    --password-file) password_file=$2; shift ;;
    --pkcs11-module) pkcs11_module=$2; shift ;;
    --pkcs11-engine) pkcs11_engine=$2; shift ;;
    --key-id) key_id=$2; shift ;;
    --certs) certs=$2; shift ;;
    --timestamp-url) timestamp_url=$2; shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "release: unknown argument $1 (--help lists them)" >&2; exit 2 ;;
  esac
  shift
done

programs=(HelmetUpdater.exe helmet-update.exe)
sign_args=()
if [ $unsigned -eq 0 ]; then
  if [ -n "$pkcs12" ]; then
    [ -n "$password_file" ] || { echo "release: --pkcs12 needs --password-file" >&2; exit 2; }
    sign_args=(-pkcs12 "$pkcs12" -readpass "$password_file")
  elif [ -n "$pkcs11_module" ]; then
    [ -n "$key_id" ] && [ -n "$certs" ] || { echo "release: --pkcs11-module needs --key-id and --certs" >&2; exit 2; }
    if [ -z "$pkcs11_engine" ]; then
      pkcs11_engine=$(find /usr/lib -name pkcs11.so -path '*engines*' 2>/dev/null | head -1)
    fi
    sign_args=(-pkcs11engine "$pkcs11_engine" -pkcs11module "$pkcs11_module" -key "$key_id" -certs "$certs")
  else
    echo "release: no certificate named (--pkcs12 or --pkcs11-module; --unsigned for none)" >&2
    exit 2
  fi
  if [ -n "$timestamp_url" ]; then sign_args+=(-ts "$timestamp_url"); fi
fi

if [ -n "$from" ]; then
  rm -rf "$out"
  mkdir -p "$out"
  cp -p "$from"/* "$out"/
  rm -f "$out/SHA256SUMS"
else
  if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$src" log -1 --format=%ct) ||
      { echo "release: no commit to take the time from: set SOURCE_DATE_EPOCH" >&2; exit 2; }
  fi
  export SOURCE_DATE_EPOCH
  jobs=$(nproc)
  started=$SECONDS
  release_options=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DUPDATER_BUILD_TESTS=OFF -DUPDATER_REPRODUCIBLE=ON)
  echo "=== release: native build"
  # cpack installs only what was built here, not the whole tree.
  cmake -S "$src" -B "$trees/native" "${release_options[@]}" -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
  cmake --build "$trees/native" -j "$jobs" --target helmet-update helmet-update-man helmet-update-changelog
  (cd "$trees/native" && cpack -G DEB -B "$trees/native/package" >/dev/null)
  echo "=== release: Windows build"
  cmake -S "$src" -B "$trees/windows" "${release_options[@]}" \
        -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" >/dev/null
  cmake --build "$trees/windows" -j "$jobs" --target HelmetUpdater helmet-update

  rm -rf "$out"
  mkdir -p "$out"
  cp "$trees/windows/HelmetUpdater.exe" "$trees/windows/helmet-update.exe" "$out"/
  # Padded and checksummed as a signature leaves them: without its signature a signed program is this file.
  python3 "$src/scripts/pe_checksum.py" "$out/HelmetUpdater.exe" "$out/helmet-update.exe"
  strip -o "$out/helmet-update" "$trees/native/helmet-update"
  cp "$trees/native/package"/helmet-update_*.deb "$out"/
  python3 "$src/scripts/sbom.py" --source "$src" --out "$out/sbom.cdx.json" \
    --program "$trees/native/helmet-update" "$trees/native/link-maps/helmet-update.map" "$trees/native" \
    --program "$trees/windows/HelmetUpdater.exe" "$trees/windows/link-maps/HelmetUpdater.map" "$trees/windows" \
    --program "$trees/windows/helmet-update.exe" "$trees/windows/link-maps/helmet-update.map" "$trees/windows"
  echo "=== release: built in $((SECONDS - started)) s"
fi

if [ $unsigned -eq 0 ]; then
  for program in "${programs[@]}"; do
    osslsigncode sign "${sign_args[@]}" -h sha256 -n "Velmora communication system software update" \
      -in "$out/$program" -out "$out/$program.signed" >/dev/null
    mv "$out/$program.signed" "$out/$program"
    echo "release: signed $program"
  done
fi
(cd "$out" && find . -maxdepth 1 -type f ! -name SHA256SUMS -printf '%f\n' | LC_ALL=C sort | xargs sha256sum >SHA256SUMS)
echo "release: $out"
(cd "$out" && ls -l)

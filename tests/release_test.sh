#!/usr/bin/env bash
# The release's packing and signing, on the programs the Windows build in
# BUILD_DIR made: the archive holds exactly the programs, the README, the
# licences and SHA256SUMS, which matches them; the programs are stripped and
# name their symbols, which the symbols archive holds: the DWARF file of
# .gnu_debuglink, and the PDB whose GUID the programs' CodeView debug
# directory carries; every entry has the last commit's time; copies signed
# with a throwaway certificate verify, whether its key is a file or on a
# PKCS#11 token (SoftHSM), and the unsigned programs stay unsigned; --sign
# without a timestamp server is refused unless told --no-timestamp.
#
#   bash tests/release_test.sh BUILD_DIR
set -euo pipefail
build_dir=$(realpath "$1")
root=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "release test: $*" >&2; exit 1; }

version=$(sed -n 's/^project(windows_helper VERSION \([0-9][0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
name="windows_helper-$version-win64"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=windows_helper release test" \
  -keyout "$tmp/key.pem" -out "$tmp/cert.pem" 2>/dev/null
if env -u SIGN_TIMESTAMP_URL bash "$root/scripts/release.sh" --from-build "$build_dir" --out "$tmp/untimed" \
  --sign "$tmp/cert.pem" "$tmp/key.pem" >"$tmp/untimed.log" 2>&1; then
  fail "--sign without a timestamp server was not refused"
fi
grep -q 'needs a timestamp server' "$tmp/untimed.log" || { cat "$tmp/untimed.log" >&2; fail "no reason given"; }
[ ! -e "$tmp/untimed" ] || fail "--sign without a timestamp server packed something"
bash "$root/scripts/release.sh" --from-build "$build_dir" --out "$tmp/dist" --sign "$tmp/cert.pem" "$tmp/key.pem" \
  --no-timestamp >"$tmp/release.log" 2>&1 || { cat "$tmp/release.log" >&2; fail "release.sh failed"; }

zip="$tmp/dist/$name.zip"
[ -f "$zip" ] && [ -f "$tmp/dist/$name-symbols.zip" ] && [ -f "$tmp/dist/$name-signed.zip" ] ||
  fail "missing archives: $(ls "$tmp/dist")"
listing=$(unzip -Z1 "$zip")
[ "$(grep -v '^licenses/' <<<"$listing" | tr '\n' ' ')" = "README.md SHA256SUMS flash-card.exe windows_helper.exe " ] ||
  fail "unexpected files: $listing"
for library in xz-utils openssl zlib bzip2 libzstd minizip mingw-w64 gcc; do
  grep -qx "licenses/$library/copyright" <<<"$listing" || fail "no licence of $library"
done
[ "$(unzip -Z -T "$zip" | awk '$1 ~ /^-/ { print $7 }' | sort -u | wc -l)" -eq 1 ] || fail "entries of several times"

mkdir "$tmp/unpacked"
unzip -q "$zip" -d "$tmp/unpacked"
(cd "$tmp/unpacked" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match"
[ "$(wc -l <"$tmp/unpacked/SHA256SUMS")" -eq "$(($(wc -l <<<"$listing") - 1))" ] || fail "SHA256SUMS misses files"

unzip -q "$tmp/dist/$name-symbols.zip" -d "$tmp/symbols"
for program in windows_helper.exe flash-card.exe; do
  sections=$(x86_64-w64-mingw32-objdump -h "$tmp/unpacked/$program")
  grep -q '\.gnu_debuglink' <<<"$sections" || fail "$program does not name its symbols"
  ! grep -q '\.debug_info' <<<"$sections" || fail "$program is not stripped"
  x86_64-w64-mingw32-objdump -h "$tmp/symbols/$program.debug" | grep -q '\.debug_info' ||
    fail "$program.debug holds no debug information"
  ! osslsigncode verify -in "$tmp/unpacked/$program" >/dev/null 2>&1 || fail "the unsigned $program has a signature"
  # "(format RSDS signature <32 hex> age 1 pdb windows_helper.pdb)"
  codeview=$(x86_64-w64-mingw32-objdump -p "$tmp/unpacked/$program" | grep -o 'RSDS signature [0-9a-f]* age [0-9]* pdb .*)') ||
    fail "$program has no CodeView debug directory"
  pdb=${program%.exe}.pdb
  [ "${codeview##* pdb }" = "$pdb)" ] || fail "$program names another PDB: $codeview"
  guid=$(llvm-pdbutil-14 dump -summary "$tmp/symbols/$pdb" | sed -n 's/.*GUID: {\(.*\)}.*/\1/p' | tr -d '-' | tr 'A-F' 'a-f')
  [ -n "$guid" ] && grep -q "signature $guid age 1 " <<<"$codeview" || fail "$pdb ($guid) is not the PDB of $program: $codeview"
done

unzip -q "$tmp/dist/$name-signed.zip" -d "$tmp/signed"
(cd "$tmp/signed" && sha256sum --quiet -c SHA256SUMS) || fail "the signed SHA256SUMS does not match"
for program in windows_helper.exe flash-card.exe; do
  osslsigncode verify -CAfile "$tmp/cert.pem" -in "$tmp/signed/$program" >"$tmp/verify.log" 2>&1 ||
    { cat "$tmp/verify.log" >&2; fail "the signed $program does not verify"; }
done
cmp -s "$tmp/unpacked/README.md" "$tmp/signed/README.md" || fail "signing changed the README"

# The same key on a token: SoftHSM's PKCS#11 module, its PIN as SIGN_PASSWORD.
mkdir "$tmp/tokens"
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$tmp" >"$tmp/softhsm2.conf"
export SOFTHSM2_CONF="$tmp/softhsm2.conf"
softhsm2-util --init-token --free --label release-test --pin 1234 --so-pin 5678 >/dev/null
openssl pkcs8 -topk8 -nocrypt -in "$tmp/key.pem" -out "$tmp/key8.pem"
softhsm2-util --import "$tmp/key8.pem" --token release-test --label release-key --id 01 --pin 1234 >/dev/null
rm "$tmp/key.pem" "$tmp/key8.pem"
SIGN_PASSWORD=1234 bash "$root/scripts/release.sh" --from-build "$build_dir" --out "$tmp/token-dist" \
  --sign "$tmp/cert.pem" "pkcs11:token=release-test;object=release-key;type=private" \
  --pkcs11-module /usr/lib/softhsm/libsofthsm2.so --no-timestamp >"$tmp/token.log" 2>&1 ||
  { cat "$tmp/token.log" >&2; fail "release.sh failed to sign from the token"; }
unzip -q "$tmp/token-dist/$name-signed.zip" -d "$tmp/token-signed"
for program in windows_helper.exe flash-card.exe; do
  osslsigncode verify -CAfile "$tmp/cert.pem" -in "$tmp/token-signed/$program" >"$tmp/verify.log" 2>&1 ||
    { cat "$tmp/verify.log" >&2; fail "$program signed from the token does not verify"; }
done
echo "release test: $name.zip, its symbols and its signed copy are as they should be"

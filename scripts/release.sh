#!/usr/bin/env bash
# Builds the Windows release from the last commit and packs it:
#
#   dist/windows_helper-<version>-win64.zip          windows_helper.exe and
#       flash-card.exe (stripped), README.md, licenses/ of every statically
#       linked library, SHA256SUMS of them all
#   dist/windows_helper-<version>-win64-symbols.zip  the programs' debug
#       information (objcopy --only-keep-debug), which the stripped programs
#       name in their .gnu_debuglink, and the PDBs the linker wrote, which
#       their CodeView debug directory names (for WER and WinDbg)
#
#   bash scripts/release.sh                   # build and pack
#   bash scripts/release.sh --verify          # build twice, in two folders; fail unless identical
#   bash scripts/release.sh --sign CERT KEY   # also -signed.zip: Authenticode-signed copies
#   bash scripts/release.sh --from-build DIR  # pack what DIR holds (tests; not a release)
#   --out DIR                                 # instead of dist/
#   --pkcs11-module MODULE                    # KEY is a PKCS#11 URI of a key on a token
#   --pkcs11-engine ENGINE                    # the OpenSSL engine for it (default: OpenSSL's pkcs11)
#   --no-timestamp                            # sign without SIGN_TIMESTAMP_URL (tests only)
#
# KEY is a PEM key file, or with --pkcs11-module a key on a token or HSM
# ("pkcs11:token=…;object=…;type=private"), as a public code-signing key must
# be; SIGN_PASSWORD is then the token's PIN. A signature needs a timestamp
# (SIGN_TIMESTAMP_URL, an RFC 3161 server) to stay valid after its
# certificate expires, so --sign refuses to run without one unless told
# --no-timestamp.
#
# The tree built is `git archive HEAD`, exported to a fresh folder: nothing
# uncommitted reaches a release. The archives are reproducible: their times
# are the last commit's (SOURCE_DATE_EPOCH), their order sorted, their
# permissions fixed, and the build maps its folders out of the programs.
# Signing copies the programs and leaves the unsigned archive as it was;
# SIGN_PASSWORD unlocks an encrypted KEY (passed to osslsigncode in a file,
# never on its command line), SIGN_TIMESTAMP_URL adds a timestamp (its
# authority's CA in SIGN_TSA_CA_FILE), and SIGN_CA_FILE is the CA the
# signatures are verified against (default: CERT itself, for a self-signed one).
set -euo pipefail

# Paths are the caller's, resolved before the script moves to the project.
out=dist verify=0 cert="" key="" from_build="" module="" engine="" timestamp=1
while [ $# -gt 0 ]; do
  case "$1" in
    --verify) verify=1 ;;
    --sign) [ $# -ge 3 ] || { echo "release: --sign CERT KEY" >&2; exit 2; }; cert=$(realpath "$2"); key=$3; shift 2 ;;
    --out) [ $# -ge 2 ] || { echo "release: --out DIR" >&2; exit 2; }; out=$2; shift ;;
    --from-build) [ $# -ge 2 ] || { echo "release: --from-build DIR" >&2; exit 2; }; from_build=$(realpath "$2"); shift ;;
    --pkcs11-module) [ $# -ge 2 ] || { echo "release: --pkcs11-module MODULE" >&2; exit 2; }; module=$(realpath "$2"); shift ;;
    --pkcs11-engine) [ $# -ge 2 ] || { echo "release: --pkcs11-engine ENGINE" >&2; exit 2; }; engine=$(realpath "$2"); shift ;;
    --no-timestamp) timestamp=0 ;;
    *) echo "release: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
# A key file is the caller's path; a token's key is a URI, taken as it is.
[ -n "$key" ] && [ -z "$module" ] && key=$(realpath "$key")
if [ -n "$cert" ] && [ "$timestamp" = 1 ] && [ -z "${SIGN_TIMESTAMP_URL:-}" ]; then
  echo "release: --sign needs a timestamp server in SIGN_TIMESTAMP_URL, or the signature ends with its" \
    "certificate; --no-timestamp signs without one" >&2
  exit 2
fi
[ -z "$module$engine" ] || [ -n "$cert" ] || { echo "release: --pkcs11-module and --pkcs11-engine go with --sign" >&2; exit 2; }
[ -z "$engine" ] || [ -n "$module" ] || { echo "release: --pkcs11-engine needs --pkcs11-module" >&2; exit 2; }
[ "$out" = dist ] && out="$(dirname "$0")/../dist"
mkdir -p "$out"
out=$(realpath "$out")
cd "$(dirname "$0")/.."
root=$PWD

version=$(sed -n 's/^project(windows_helper VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "release: no version in CMakeLists.txt's project()" >&2; exit 1; }
name="windows_helper-$version-win64"

export TZ=UTC LC_ALL=C
export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}"
host=x86_64-w64-mingw32
work=$(mktemp -d /tmp/windows_helper-release.XXXXXX)
trap 'rm -rf "$work"' EXIT
log() { echo "release: $*" >&2; }
# The compiler's folder maps are one flag string: no spaces in these paths.
case "$work$root" in *" "*) log "the project and work folders must not contain spaces"; exit 1 ;; esac

bash scripts/install-deps.sh windows >/dev/null
deps=$(bash scripts/build-windows-deps.sh | tail -n 1)

# Exports the last commit into `folder`/src and builds the two programs in
# `folder`/build, the folders mapped out of the debug information.
build() { # folder
  local src="$1/src" dir="$1/build"
  mkdir -p "$src"
  git -C "$root" archive --format=tar HEAD | tar -x -C "$src"
  local maps="-ffile-prefix-map=$src=/windows_helper -ffile-prefix-map=$dir=/windows_helper/build"
  cmake -S "$src" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" \
    -DWINDOWS_HELPER_DEPS_PREFIX="$deps" -DWINDOWS_HELPER_WERROR=ON -DWINDOWS_HELPER_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS=$maps" >/dev/null
  log "building in $dir"
  cmake --build "$dir" -j "$(nproc)" --target windows_helper flash-card >"$1/build.log" 2>&1 ||
    { tail -n 40 "$1/build.log" >&2; exit 1; }
}

# A zip that depends on nothing but its files' bytes and names: one time,
# sorted names, fixed modes, no extra fields.
pack() { # folder zip
  (
    cd "$1"
    find . -type f -exec chmod 0644 {} + -o -type d -exec chmod 0755 {} +
    find . -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
    rm -f "$2"
    find . -type f | sed 's|^\./||' | sort | zip -q -X -D -9 "$2" -@
  )
}

sums() { # folder
  (cd "$1" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | sort | xargs -d '\n' sha256sum >SHA256SUMS)
}

# The release's two archives from the programs in `build_dir`, under `into`.
stage() { # build_dir into
  local files="$2/$name" symbols="$2/symbols"
  mkdir -p "$files/licenses" "$symbols"
  for program in windows_helper.exe flash-card.exe; do
    "$host-objcopy" --only-keep-debug "$1/$program" "$symbols/$program.debug"
    # Stripping keeps the .buildid section, whose CodeView entry names the PDB.
    "$host-objcopy" --strip-debug --strip-unneeded --add-gnu-debuglink="$symbols/$program.debug" \
      "$1/$program" "$files/$program"
    cp "$1/${program%.exe}.pdb" "$symbols/${program%.exe}.pdb"
  done
  cp "$root/README.md" "$files/README.md"
  cp -r "$deps/licenses/." "$files/licenses/"
  # The MinGW-w64 runtime and GCC's runtime libraries are linked in too.
  mkdir -p "$files/licenses/mingw-w64" "$files/licenses/gcc"
  cp /usr/share/doc/mingw-w64-x86-64-dev/copyright "$files/licenses/mingw-w64/copyright"
  cp /usr/share/doc/gcc-mingw-w64-base/copyright "$files/licenses/gcc/copyright"
  sums "$files"
  pack "$files" "$2/$name.zip"
  pack "$symbols" "$2/$name-symbols.zip"
}

sign() { # unsigned-folder into
  local signed="$2/$name"
  mkdir -p "$2"
  cp -r "$1" "$signed"
  for program in windows_helper.exe flash-card.exe; do
    local args=(sign -certs "$cert" -key "$key" -h sha256 -n "Tovrin Zarerud" -in "$1/$program" -out "$signed/$program")
    [ -n "$module" ] && args+=(-pkcs11module "$module")
    [ -n "$engine" ] && args+=(-pkcs11engine "$engine")
    if [ -n "${SIGN_PASSWORD:-}" ]; then
      (umask 077 && printf '%s' "$SIGN_PASSWORD" >"$work/password")
      args+=(-readpass "$work/password")
    fi
    [ "$timestamp" = 1 ] && args+=(-ts "$SIGN_TIMESTAMP_URL")
    local checks=(verify -CAfile "${SIGN_CA_FILE:-$cert}" -in "$signed/$program")
    [ -n "${SIGN_TSA_CA_FILE:-}" ] && checks+=(-TSA-CAfile "$SIGN_TSA_CA_FILE")
    rm -f "$signed/$program"
    osslsigncode "${args[@]}" >/dev/null
    osslsigncode "${checks[@]}" >"$2/verify-$program.log" 2>&1 ||
      { cat "$2/verify-$program.log" >&2; log "the signature of $program does not verify"; exit 1; }
    log "signed $program: $(grep -m1 'Signature verification' "$2/verify-$program.log")"
  done
  rm -f "$signed/SHA256SUMS"
  sums "$signed"
  pack "$signed" "$out/$name-signed.zip"
}

if [ -n "$from_build" ]; then
  stage "$from_build" "$work/a"
elif [ "$verify" = 1 ]; then
  # Two folders of different names and depths, so that no path can hide.
  build "$work/a"
  build "$work/second/b"
  stage "$work/a/build" "$work/a"
  stage "$work/second/b/build" "$work/second/b"
  if ! cmp "$work/a/$name.zip" "$work/second/b/$name.zip"; then
    log "the two builds differ: $name.zip is not reproducible"
    exit 1
  fi
  cmp -s "$work/a/$name-symbols.zip" "$work/second/b/$name-symbols.zip" ||
    log "note: the symbols archives differ (the programs do not)"
  log "reproducible: two builds in two folders gave the same $name.zip"
else
  build "$work/a"
  stage "$work/a/build" "$work/a"
fi
cp "$work/a/$name.zip" "$work/a/$name-symbols.zip" "$out/"
[ -n "$cert" ] && sign "$work/a/$name" "$work/signed"
(cd "$out" && sha256sum "$name.zip")

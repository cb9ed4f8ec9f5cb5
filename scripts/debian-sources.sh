# shellcheck shell=bash disable=SC2154
# Sourced: Debian source packages fetched with apt-get source, for the
# Windows libraries (build-windows-deps.sh) and the decoders' sample files
# (tests/debian_samples.sh). The caller defines log() and sets sudo ("" or
# "sudo").

# apt-get source needs a deb-src entry; add one for the machine's own mirror
# when there is none, in whichever format the machine uses.
ensure_deb_src() {
  if [ -n "$(apt-cache showsrc --only-source xz-utils 2>/dev/null)" ]; then
    return
  fi
  log "adding deb-src entries for the configured mirrors"
  local added=0
  for list in /etc/apt/sources.list.d/*.sources; do
    [ -e "$list" ] || continue
    case "$list" in */windows-helper-src-*) continue ;; esac
    grep -qE '^Types:.*\bdeb\b' "$list" || continue
    sed -E 's/^Types:.*/Types: deb-src/' "$list" |
      $sudo tee "/etc/apt/sources.list.d/windows-helper-src-$(basename "$list")" >/dev/null
    added=1
  done
  for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$list" ] || continue
    case "$list" in */windows-helper-src-*) continue ;; esac
    grep -qE '^deb ' "$list" || continue
    sed -nE 's/^deb /deb-src /p' "$list" |
      $sudo tee "/etc/apt/sources.list.d/windows-helper-src-$(basename "$list")" >/dev/null
    added=1
  done
  [ "$added" -eq 1 ] || { log "no Debian mirror is configured"; exit 1; }
  $sudo apt-get update -qq
}

# Every source version the mirrors list, newest first.
source_versions() {
  apt-cache showsrc --only-source "$1" | sed -n 's/^Version: //p' | sort -Vru
}

# The newest version that can actually be fetched (a mirror may list a source
# it does not carry) is unpacked, with Debian's patches, into destination/package.
# Prints "version directory".
fetch_source() { # package destination
  local dir="$2/$1" version
  for version in $(source_versions "$1"); do
    rm -rf "$dir" && mkdir -p "$dir"
    if (cd "$dir" && apt-get source -qq --only-source "$1=$version" >"$dir.log" 2>&1); then
      echo "$version $(find "$dir" -mindepth 1 -maxdepth 1 -type d | head -n 1)"
      return
    fi
    log "could not fetch $1 $version, trying an older version"
  done
  cat "$dir.log" >&2
  log "no version of $1 could be fetched"
  return 1
}

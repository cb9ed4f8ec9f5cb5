#!/usr/bin/env bash
# Builds the Windows (x86_64-w64-mingw32) static libraries windows_helper.exe
# links: liblzma from Debian's xz-utils source, libcrypto from Debian's
# openssl source, zlib from zlib's, libbz2 from bzip2's, libzstd from
# libzstd's and minizip from minizip's, and libext2fs with libcom_err from
# e2fsprogs'. The result goes to a cache outside the repository and is
# reused: the first six in one folder per combination of source and compiler
# versions, e2fsprogs in a folder of its own (so that a library added later
# builds alone, and the six are not built again), and the prefix the build
# uses is a view of both made of hard links. Each source's licence
# (debian/copyright, and the upstream LICENSE or COPYING files) goes to
# licenses/<source>/, for the release.
#
# Prints the prefix (include/, lib/ and licenses/) on its last line.
# WINDOWS_HELPER_DEPS_CACHE overrides the cache root.
set -euo pipefail

cache_root="${WINDOWS_HELPER_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/windows_helper-deps}"
host=x86_64-w64-mingw32
cc="$host-gcc-posix"
# Bump when the way the libraries are built changes, so old caches are not reused.
recipe=3

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

log() { echo "windows deps: $*" >&2; }

source "$(dirname "$0")/debian-sources.sh"

build_liblzma() { # source prefix
  log "building liblzma"
  (
    cd "$1"
    ./configure --host="$host" CC="$cc" --prefix="$2" \
      --enable-static --disable-shared --enable-threads=vista \
      --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo \
      --disable-lzma-links --disable-scripts --disable-doc --disable-nls \
      >configure.log 2>&1 || { tail -n 40 configure.log >&2; exit 1; }
    make -C src/liblzma -j "$(nproc)" install >make.log 2>&1 ||
      { tail -n 40 make.log >&2; exit 1; }
  )
}

build_libcrypto() { # source prefix
  log "building libcrypto"
  (
    cd "$1"
    # Static, assembly kept (SHA extensions included); only the library is built.
    CC="$cc" AR="$host-ar" RANLIB="$host-ranlib" RC="$host-windres" \
      ./Configure mingw64 no-shared no-tests no-module no-engine \
      --prefix="$2" --libdir=lib >configure.log 2>&1 ||
      { tail -n 40 configure.log >&2; exit 1; }
    { make -j "$(nproc)" build_generated && make -j "$(nproc)" libcrypto.a; } \
      >make.log 2>&1 || { tail -n 40 make.log >&2; exit 1; }
    mkdir -p "$2/lib" "$2/include"
    cp libcrypto.a "$2/lib/"
    cp -r include/openssl "$2/include/"
  )
}

build_zlib() { # source prefix
  log "building zlib"
  (
    cd "$1"
    # Debian's source has no win32/ folder; zlib's own configure cross-builds.
    CHOST="$host" CC="$cc" AR="$host-ar" RANLIB="$host-ranlib" ./configure --static --prefix="$2" \
      >configure.log 2>&1 || { tail -n 40 configure.log >&2; exit 1; }
    make -j "$(nproc)" libz.a >make.log 2>&1 || { tail -n 40 make.log >&2; exit 1; }
    mkdir -p "$2/lib" "$2/include"
    cp libz.a "$2/lib/"
    cp zlib.h zconf.h "$2/include/"
  )
}

build_libbz2() { # source prefix
  log "building libbz2"
  (
    cd "$1"
    # BZ_EXPORT: bzlib.h declares the functions themselves, not pointers to
    # load from a DLL; the helper's build defines it too.
    make libbz2.a CC="$cc" AR="$host-ar" RANLIB="$host-ranlib" \
      CFLAGS="-O2 -D_FILE_OFFSET_BITS=64 -DBZ_EXPORT" >make.log 2>&1 ||
      { tail -n 40 make.log >&2; exit 1; }
    mkdir -p "$2/lib" "$2/include"
    cp libbz2.a "$2/lib/"
    cp bzlib.h "$2/include/"
  )
}

build_libzstd() { # source prefix
  log "building libzstd"
  (
    cd "$1"
    # Decoding only needs the current format; no legacy decoders.
    make -C lib -j "$(nproc)" libzstd.a CC="$cc" AR="$host-ar" RANLIB="$host-ranlib" ZSTD_LEGACY_SUPPORT=0 \
      >make.log 2>&1 || { tail -n 40 make.log >&2; exit 1; }
    mkdir -p "$2/lib" "$2/include"
    cp lib/libzstd.a "$2/lib/"
    cp lib/zstd.h lib/zstd_errors.h "$2/include/"
  )
}

build_minizip() { # source prefix
  log "building minizip"
  (
    cd "$1"
    # The reader, the writer (the tests make zip samples) and the file
    # functions they share; zlib from the prefix.
    for unit in ioapi unzip zip; do
      "$cc" -O2 -c -I"$2/include" "$unit.c" -o "$unit.o" >>make.log 2>&1 || { tail -n 40 make.log >&2; exit 1; }
    done
    mkdir -p "$2/lib" "$2/include/minizip"
    "$host-ar" rcs "$2/lib/libminizip.a" ioapi.o unzip.o zip.o
    cp ioapi.h unzip.h zip.h crypt.h "$2/include/minizip/"
  )
}

build_e2fsprogs() { # source prefix
  log "building libext2fs and libcom_err"
  (
    cd "$1"
    # configure insists on a uuid and a blkid library: the private ones
    # serve, and are never built. Only lib/et and lib/ext2fs are; the
    # helper reads through an I/O manager of its own, not unix_io.
    ./configure --host="$host" CC="$cc" --disable-nls --disable-fuse2fs --disable-uuidd --enable-libuuid \
      --enable-libblkid --disable-defrag --disable-imager --disable-resizer --disable-debugfs \
      --disable-e2initrd-helper --disable-tdb --disable-mmp --disable-bmap-stats \
      >configure.log 2>&1 || { tail -n 40 configure.log >&2; exit 1; }
    { make -C lib/et -j "$(nproc)" && make -C lib/ext2fs -j "$(nproc)" libext2fs.a; } \
      >make.log 2>&1 || { tail -n 40 make.log >&2; exit 1; }
    mkdir -p "$2/lib" "$2/include/ext2fs" "$2/include/et"
    cp lib/libext2fs.a lib/libcom_err.a "$2/lib/"
    cp lib/ext2fs/ext2fs.h lib/ext2fs/ext2_fs.h lib/ext2fs/ext2_io.h lib/ext2fs/ext2_types.h lib/ext2fs/ext2_err.h \
      lib/ext2fs/ext3_extents.h lib/ext2fs/ext2_ext_attr.h lib/ext2fs/hashmap.h lib/ext2fs/bitops.h "$2/include/ext2fs/"
    cp lib/et/com_err.h "$2/include/et/"
  )
}

# The licence texts of a source, as its Debian package states them.
copy_licenses() { # source-package source prefix
  local into="$3/licenses/$1" file
  mkdir -p "$into"
  cp "$2/debian/copyright" "$into/copyright"
  for file in "$2"/LICENSE* "$2"/COPYING*; do
    [ -f "$file" ] && cp "$file" "$into/"
  done
  return 0
}

command -v "$cc" >/dev/null || { log "$cc is missing (package mingw-w64)"; exit 1; }
command -v dpkg-source >/dev/null || { log "dpkg-source is missing (package dpkg-dev)"; exit 1; }

ensure_deb_src
# The key is what the mirrors offer; a finished build records the versions it
# was actually made from, so a cache is found again without fetching anything.
offered="xz-utils_$(source_versions xz-utils | head -n 1)-openssl_$(source_versions openssl | head -n 1)"
offered+="-zlib_$(source_versions zlib | head -n 1)-bzip2_$(source_versions bzip2 | head -n 1)"
offered+="-libzstd_$(source_versions libzstd | head -n 1)-minizip_$(source_versions minizip | head -n 1)"
# No colons (Debian's epochs): make cannot take them in a path.
key=$(echo "${offered}-gcc_$($cc -dumpversion)-r${recipe}" | tr ':' '_')
prefix="$cache_root/$key"

if [ -f "$prefix/.complete" ]; then
  log "cached in $prefix ($(cat "$prefix/.complete"))"
else
  log "building into $prefix"
  work="$prefix.work"
  rm -rf "$prefix" "$work"
  mkdir -p "$work"
  read -r xz_version xz_dir < <(fetch_source xz-utils "$work")
  read -r openssl_version openssl_dir < <(fetch_source openssl "$work")
  read -r zlib_version zlib_dir < <(fetch_source zlib "$work")
  read -r bzip2_version bzip2_dir < <(fetch_source bzip2 "$work")
  read -r zstd_version zstd_dir < <(fetch_source libzstd "$work")
  read -r minizip_version minizip_dir < <(fetch_source minizip "$work")
  [ -n "${xz_dir:-}" ] && [ -n "${openssl_dir:-}" ] && [ -n "${zlib_dir:-}" ] && [ -n "${bzip2_dir:-}" ] &&
    [ -n "${zstd_dir:-}" ] && [ -n "${minizip_dir:-}" ] || exit 1
  build_liblzma "$xz_dir" "$prefix"
  build_libcrypto "$openssl_dir" "$prefix"
  build_zlib "$zlib_dir" "$prefix"
  build_libbz2 "$bzip2_dir" "$prefix"
  build_libzstd "$zstd_dir" "$prefix"
  build_minizip "$minizip_dir" "$prefix"
  copy_licenses xz-utils "$xz_dir" "$prefix"
  copy_licenses openssl "$openssl_dir" "$prefix"
  copy_licenses zlib "$zlib_dir" "$prefix"
  copy_licenses bzip2 "$bzip2_dir" "$prefix"
  copy_licenses libzstd "$zstd_dir" "$prefix"
  copy_licenses minizip "$minizip_dir" "$prefix"
  rm -rf "$work"
  echo "xz-utils $xz_version, openssl $openssl_version, zlib $zlib_version, bzip2 $bzip2_version," \
    "libzstd $zstd_version, minizip $minizip_version" >"$prefix/.complete"
fi

# e2fsprogs under its own key.
e2fs_key=$(echo "e2fsprogs_$(source_versions e2fsprogs | head -n 1)-gcc_$($cc -dumpversion)-r1" | tr ':' '_')
e2fs_prefix="$cache_root/$e2fs_key"
if [ -f "$e2fs_prefix/.complete" ]; then
  log "cached in $e2fs_prefix ($(cat "$e2fs_prefix/.complete"))"
else
  log "building into $e2fs_prefix"
  work="$e2fs_prefix.work"
  rm -rf "$e2fs_prefix" "$work"
  mkdir -p "$work"
  read -r e2fs_version e2fs_dir < <(fetch_source e2fsprogs "$work")
  [ -n "${e2fs_dir:-}" ] || exit 1
  build_e2fsprogs "$e2fs_dir" "$e2fs_prefix"
  copy_licenses e2fsprogs "$e2fs_dir" "$e2fs_prefix"
  rm -rf "$work"
  echo "e2fsprogs $e2fs_version" >"$e2fs_prefix/.complete"
fi

# The prefix the build takes: both folders seen as one, through hard links
# (the folders themselves are never changed).
view="$cache_root/view-$(printf '%s\n' "$key" "$e2fs_key" | sha256sum | cut -c 1-16)"
if [ ! -f "$view/.complete" ]; then
  rm -rf "$view" "$view.work"
  mkdir -p "$view.work"
  for part in "$prefix" "$e2fs_prefix"; do
    for dir in include lib licenses; do
      mkdir -p "$view.work/$dir"
      cp -al "$part/$dir/." "$view.work/$dir/"
    done
  done
  printf '%s\n%s\n' "$prefix" "$e2fs_prefix" >"$view.work/.complete"
  mv "$view.work" "$view"
fi
echo "$view"

#!/usr/bin/env bash
# Builds the HDF5 C library that zor.ir.serialization links, once per machine,
# and prints its install prefix (progress goes to stderr).
#
# The source is the upstream tarball of Debian trixie's `hdf5` source package,
# fetched with apt through a private sources list and private list and cache
# folders (the machine's own apt configuration is left as it is) from the
# Debian mirror the machine already uses; apt checks it against the signed
# archive index and we check it against the hash below. Debian's own patches
# are not applied: the library is upstream's release plus our patches here.
#
# The result is cached outside the work tree, in
# ${ZOR_IR_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zor-ir}: the tarball, and
# one install prefix per version, patch set and build options (hashed into its
# name), so changing any of them builds anew. Runs are serialised by a lock;
# a build happens in a temporary folder that is renamed into place only when
# complete, so an interrupted run leaves nothing half-made behind.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

version=1.14.5
suite=trixie
tarball_name=hdf5_${version}+repack.orig.tar.gz
tarball_sha256=71cdb04c151ef4e8a7f88907adfc4f3b75afd44e96fbd55775e1c9d7c4e7c112
patches=("$here/dense-link-table.patch" "$here/register-deflate.patch")

# Only the C library: static, position-independent (it goes into a shared
# module), optimised, deflate through the system zlib, nothing else.
options=(
  -DCMAKE_BUILD_TYPE=Release
  -DBUILD_SHARED_LIBS=OFF
  -DBUILD_STATIC_LIBS=ON
  -DCMAKE_POSITION_INDEPENDENT_CODE=ON
  -DHDF5_ENABLE_Z_LIB_SUPPORT=ON
  -DHDF5_ENABLE_SZIP_SUPPORT=OFF
  -DHDF5_ALLOW_EXTERNAL_SUPPORT=NO
  -DHDF5_BUILD_TOOLS=OFF
  -DHDF5_BUILD_UTILS=OFF
  -DHDF5_BUILD_HL_LIB=OFF
  -DHDF5_BUILD_CPP_LIB=OFF
  -DHDF5_BUILD_FORTRAN=OFF
  -DHDF5_BUILD_JAVA=OFF
  -DHDF5_BUILD_EXAMPLES=OFF
  -DHDF5_BUILD_DOC=OFF
  -DBUILD_TESTING=OFF
  -DHDF5_ENABLE_ROS3_VFD=OFF
  -DHDF5_ENABLE_HDFS=OFF
  -DHDF5_ENABLE_DIRECT_VFD=OFF
  -DHDF5_ENABLE_MIRROR_VFD=OFF
  -DHDF5_ENABLE_SUBFILING_VFD=OFF
  -DHDF5_ENABLE_PARALLEL=OFF
  -DHDF5_ENABLE_THREADSAFE=OFF
  -DHDF5_ENABLE_DEPRECATED_SYMBOLS=ON
)
jobs=2

cache=${ZOR_IR_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zor-ir}
key=$({ echo "$version $tarball_sha256"; printf '%s\n' "${options[@]}"; cat "${patches[@]}"; } |
      sha256sum | cut -c1-12)
prefix=$cache/hdf5-$version-$key

say() { echo "hdf5: $*" >&2; }

if [ -d "$prefix" ]; then
  echo "$prefix"
  exit 0
fi

mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
if [ -d "$prefix" ]; then  # built by the run we waited for
  echo "$prefix"
  exit 0
fi
rm -rf "$cache"/.work.*  # left by a run that was killed; no other run is under way
work=$(mktemp -d "$cache/.work.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The Debian mirror of the machine's own release, as its apt sources name it.
debian_uri() {
  local codename
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  apt-get indextargets --format '$(RELEASE) $(REPO_URI)' 'Created-By: Packages' 2>/dev/null |
    awk -v release="$codename" '$1 == release { print $2; exit }'
}

fetch_tarball() {
  local uri apt=$work/apt
  uri=$(debian_uri)
  if [ -z "$uri" ]; then
    say "no Debian mirror found in the machine's apt sources (apt-get indextargets)"
    exit 1
  fi
  say "fetching $suite's hdf5 source package from $uri"
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$work/download"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $suite main" >"$apt/sources.list"
  local apt_options=(
    -o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache"
    -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts=/dev/null
    -o APT::Sandbox::User=root -o Acquire::Languages=none)
  apt-get "${apt_options[@]}" -qq update >&2
  (cd "$work/download" && apt-get "${apt_options[@]}" -qq source --download-only hdf5 >&2)
  if [ ! -f "$work/download/$tarball_name" ]; then
    say "$suite's hdf5 source package no longer has $tarball_name:"
    ls "$work/download" >&2
    exit 1
  fi
  mv "$work/download/$tarball_name" "$cache/$tarball_name"
}

[ -f "$cache/$tarball_name" ] || fetch_tarball
if ! echo "$tarball_sha256  $cache/$tarball_name" | sha256sum --check --status; then
  say "$cache/$tarball_name does not have the expected SHA-256; removing it, run again"
  rm -f "$cache/$tarball_name"
  exit 1
fi

# Runs a step with its output in a log, shown only if the step fails.
logged() {
  local log=$work/$1.log
  shift
  if ! "$@" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    say "failed: $*"
    exit 1
  fi
}

say "building HDF5 $version into $prefix"
mkdir "$work/src"
tar -xzf "$cache/$tarball_name" -C "$work/src" --strip-components=1
for patch in "${patches[@]}"; do
  logged patch patch -d "$work/src" -p1 --forward --batch -i "$patch"
done
start=$SECONDS
logged configure cmake -S "$work/src" -B "$work/build" -G "Unix Makefiles" \
  -DCMAKE_INSTALL_PREFIX="$prefix" "${options[@]}"
configured=$SECONDS
logged build cmake --build "$work/build" -j "$jobs"
built=$SECONDS
DESTDIR=$work/stage logged install cmake --install "$work/build"
{
  echo "HDF5 $version from $suite's $tarball_name (sha256 $tarball_sha256)"
  echo "patches: ${patches[*]##*/}"
  echo "options: ${options[*]}"
  echo "configure $((configured - start)) s, build $((built - configured)) s with -j$jobs"
} >"$work/stage$prefix/zor-ir-build.txt"
mv -T "$work/stage$prefix" "$prefix"
say "configured in $((configured - start)) s, built in $((built - configured)) s"
echo "$prefix"

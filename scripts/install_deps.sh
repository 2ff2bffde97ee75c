#!/usr/bin/env bash
# System dependencies: a C++ toolchain, CMake, Ninja, Highway and oneDNN 3.x.
#
# oneDNN: Debian 13 packages oneDNN 3.7.2 (libdnnl-dev). Debian 12 packages only 2.6, which
# lacks the 3.x API this library uses, so there we build Debian 13's source package of the
# same 3.7.2 once, for the CPU only and with only the primitives the library uses, into
# $VORN_DEPS_PREFIX (default /opt/vorn-deps), where later runs on the machine find it.
# Prints the CMake prefix of oneDNN on its last line.
set -euo pipefail

DNNL_VERSION=3.7.2
DEPS_PREFIX=${VORN_DEPS_PREFIX:-/opt/vorn-deps}
DNNL_PREFIX=$DEPS_PREFIX/onednn-$DNNL_VERSION

. /etc/os-release
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
for pkg in g++ cmake ninja-build libhwy-dev xz-utils; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ "$VERSION_ID" != 12 ]; then
  dpkg -s libdnnl-dev >/dev/null 2>&1 || missing+=(libdnnl-dev)
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing ${missing[*]}" >&2
  as_root apt-get update -q >&2
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -q "${missing[@]}" >&2
fi

if [ "$VERSION_ID" != 12 ]; then
  echo /usr
  exit 0
fi

if ! find "$DNNL_PREFIX" -name dnnl-config.cmake 2>/dev/null | grep -q .; then
  echo "building oneDNN $DNNL_VERSION from Debian 13's source package into $DNNL_PREFIX" >&2
  sources=/etc/apt/sources.list.d/vorn-trixie-src.sources
  if [ ! -f "$sources" ]; then
    printf '%s\n' 'Types: deb-src' 'URIs: http://deb.debian.org/debian' 'Suites: trixie' \
      'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' |
      as_root tee "$sources" >/dev/null
    as_root apt-get update -q >&2
  fi
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  (cd "$work" && apt-get source --download-only "onednn=$DNNL_VERSION+ds-2" >&2 &&
    tar xf "onednn_$DNNL_VERSION+ds.orig.tar.xz")
  src=$(find "$work" -maxdepth 1 -type d -name 'oneDNN-*' | head -n 1)
  cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$DNNL_PREFIX.partial" \
    -DONEDNN_CPU_RUNTIME=OMP -DONEDNN_GPU_RUNTIME=NONE -DONEDNN_BUILD_GRAPH=OFF \
    -DONEDNN_BUILD_TESTS=OFF -DONEDNN_BUILD_EXAMPLES=OFF -DONEDNN_BUILD_DOC=OFF \
    -DONEDNN_ENABLE_PRIMITIVE="MATMUL;REORDER" >&2
  cmake --build "$work/build" >&2
  as_root cmake --install "$work/build" >&2
  as_root rm -rf "$DNNL_PREFIX"
  as_root mv "$DNNL_PREFIX.partial" "$DNNL_PREFIX"
fi
echo "$DNNL_PREFIX"

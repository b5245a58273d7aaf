#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Writes OUTDIR/dyadfit-<version>.tar.gz (default OUTDIR: build/), an Octave
# package for `pkg install`. Every mex/*.cc is one module's gateway, every
# mex/*.m goes to inst/, and the core's sources are the ones CMakeLists.txt
# lists in DYADFIT_CORE_SOURCES, with the headers they include.
#
# Only the checkout's own files go in, never anything built, and every time
# stamp is the last commit's (or SOURCE_DATE_EPOCH), so a clean clone gives
# the same tarball.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
outdir=${1:-$root/build}
licence=$root/LICENSE
maintainer="The dyadfit developers"

fail() {
  echo "make-package: $*" >&2
  exit 1
}

version=$(sed -n 's/^project(dyadfit VERSION \([0-9][0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[[ -n "$version" ]] || fail "no 'project(dyadfit VERSION x.y.z ...)' line in CMakeLists.txt"
[[ -r "$licence" ]] || fail "the licence text is missing: $licence"

# The one list of core sources: the words between 'set(DYADFIT_CORE_SOURCES'
# and the closing parenthesis, comments dropped.
mapfile -t core < <(awk '
  !on && /^[ \t]*set\(DYADFIT_CORE_SOURCES([ \t]|$)/ { on = 1; sub(/^[ \t]*set\(DYADFIT_CORE_SOURCES/, "") }
  on { sub(/#.*/, ""); closed = sub(/\).*/, ""); n = split($0, w); for (i = 1; i <= n; i++) print w[i]; if (closed) exit }
' "$root/CMakeLists.txt")
((${#core[@]} > 0)) || fail "no DYADFIT_CORE_SOURCES list in CMakeLists.txt"
for src in "${core[@]}"; do
  [[ "$src" =~ ^[A-Za-z0-9_/.-]+\.cc$ && -f "$root/$src" ]] ||
    fail "DYADFIT_CORE_SOURCES names '$src', which is no C++ source file of the checkout"
done

gateways=()
for f in "$root"/mex/*.cc; do gateways+=("mex/$(basename "$f")"); done
[[ -e "$root/${gateways[0]}" ]] || fail "no gateway in mex/"
modules=()
for g in "${gateways[@]}"; do modules+=("$(basename "$g" .cc)"); done
mfiles=()
for f in "$root"/mex/*.m; do [[ -e "$f" ]] && mfiles+=("$(basename "$f")"); done

epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)}
date=$(date -u -d "@$epoch" +%Y-%m-%d)

stage=$(mktemp -d "${TMPDIR:-/tmp}/dyadfit-package.XXXXXX")
trap 'rm -rf "$stage"' EXIT
pkg=$stage/dyadfit
mkdir -p "$pkg/inst" "$pkg/src"

# Sources with every project header they reach, as the compiler finds them.
cxx=$(mkoctfile -p CXX)
read -r -a incflags <<<"$(mkoctfile -p INCFLAGS)"
files=$(for src in "${core[@]}" host/mex_binding.cc "${gateways[@]}"; do
  "$cxx" -std=c++20 -MM -MT x -DDYADFIT_HOST_OCTAVE -I"$root" "${incflags[@]}" "$root/$src" ||
    fail "cannot read the includes of $src"
done | tr -s ' \\' '\n' | awk -v r="$root/" 'index($0, r) == 1 { print substr($0, length(r) + 1) }' | sort -u)
for f in $files; do install -D -m 644 "$root/$f" "$pkg/src/$f"; done
for f in "${mfiles[@]}"; do install -m 644 "$root/mex/$f" "$pkg/inst/$f"; done
# The overview that `help dyadfit` shows.
install -m 644 "$root/tools/package/dyadfit.m" "$pkg/inst/dyadfit.m"
install -m 644 "$licence" "$pkg/COPYING"

functions=$(printf '%s\n' "${modules[@]}" "${mfiles[@]%.m}" dyadfit | sort -u | tr '\n' ' ')

cat >"$pkg/DESCRIPTION" <<EOF
Name: dyadfit
Version: $version
Date: $date
Author: $maintainer
Maintainer: $maintainer
Title: Image estimates on recursive dyadic partitions
Description: Estimates images on recursive dyadic partitions of aligned
 squares, for denoising grey and colour images of any size and class under
 Gaussian, Poisson or Poisson-Gaussian (camera) noise: dyadfit_denoise, and
 the estimators it runs, one constant per square (tessik), wedgelets
 (brindel) and platelets (quarlo). The partition is chosen by a penalized
 cost; results are bit-identical across thread counts. help dyadfit lists
 the functions.
Categories: Image processing
Depends: octave (>= 6.1)
License: BSD-3-Clause
EOF

{
  echo "dyadfit >> Estimates on dyadic partitions"
  echo "Estimates on dyadic partitions"
  for f in $functions; do echo " $f"; done
} >"$pkg/INDEX"

install -m 644 "$root/tools/package/NEWS" "$pkg/NEWS"

sed -e "s|@CORE@|${core[*]}|" -e "s|@MODULES@|${modules[*]}|" "$root/tools/package/Makefile.in" >"$pkg/src/Makefile"
install -m 644 "$root/tools/package/post_install.m" "$pkg/post_install.m"

mkdir -p "$outdir"
tarball=$outdir/dyadfit-$version.tar.gz
tar -C "$stage" --sort=name --mtime="@$epoch" --owner=0 --group=0 --numeric-owner \
  --mode='u+rwX,go+rX,go-w' -cf - dyadfit | gzip -n -9 >"$tarball.tmp"
mv "$tarball.tmp" "$tarball"
echo "$tarball"

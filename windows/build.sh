#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Cross-builds the Windows plug-ins (32-bit tessik, 64-bit all modules) and
# the test host into BUILD/w32 and BUILD/w64, the zip for MATLAB users into
# BUILD, and the Linux reference writer in the project's LINUX_BUILD.
#   windows/build.sh BUILD LINUX_BUILD [JOBS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1
linux=$2
jobs=${3:-2}
mkdir -p "$build"
build=$(realpath "$build")

cmake -S "$root" -B "$linux" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$linux" -j "$jobs" --target dyadfit_mex_cases
cp "$linux/dyadfit_mex_cases" "$build/"
for arch in i686:32 x86_64:64; do
  cmake -S "$root/windows" -B "$build/w${arch#*:}" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/windows/toolchain-${arch%:*}.cmake" >/dev/null
  cmake --build "$build/w${arch#*:}" -j "$jobs"
done

version=$(sed -n 's/^project(dyadfit VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
stage=$build/dyadfit-$version-windows
rm -rf "$stage" "$stage.zip"
mkdir -p "$stage"
cp "$build"/w32/plugins/tessik.mexw32 "$build"/w32/plugins/tessik.dll "$build"/w64/plugins/*.mexw64 \
  "$build"/w64/plugins/*.m "$stage"/
sed "s/@VERSION@/$version/" "$root/windows/README.txt" >"$stage/README.txt"
name=dyadfit-$version-windows
(cd "$build" && zip -q -X -r "$name.zip" "$name")
echo "Windows plug-ins: $stage.zip"

#!/usr/bin/env bash
# Cross-builds the Windows plug-ins (32-bit tessik, 64-bit all modules), the
# test host, the Linux reference writer, and the zip for MATLAB users.
#   windows/build.sh BUILD [JOBS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1
jobs=${2:-2}
mkdir -p "$build"
build=$(realpath "$build")

cmake -S "$root" -B "$build/linux" -DCMAKE_BUILD_TYPE=Release -DDYADFIT_OCTAVE=OFF -DDYADFIT_MATLAB=OFF \
  -DDYADFIT_TESTS=OFF -DDYADFIT_BENCH=OFF >/dev/null
cmake --build "$build/linux" -j "$jobs" --target dyadfit_mex_cases
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
(cd "$build" && zip -q -X -r "$(basename "$stage").zip "$(basename "$stage")")
echo "Windows plug-ins: $stage.zip"

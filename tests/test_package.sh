#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# The Octave package: built twice from the checkout (same bytes), its core
# list compared with CMake's, then installed into a scratch prefix and
# tested there (tests/octave/check_package.m).
# Usage: test_package.sh OCTAVE_CLI WORK_DIR CMAKE_MEX_DIR "CORE SOURCES..."
set -euo pipefail
octave=$1 work=$2 mexdir=$3 core=$4
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

rm -rf "$work"
mkdir -p "$work/again" "$work/prefix"
tarball=$("$root/tools/make-package.sh" "$work")
"$root/tools/make-package.sh" "$work/again" >/dev/null
cmp "$tarball" "$work/again/$(basename "$tarball")" || { echo "FAIL: a second package differs" >&2; exit 1; }

listed=$(tar -xzOf "$tarball" dyadfit/src/Makefile | sed -n 's/^CORE := //p')
if [[ "$listed" != "$core" ]]; then
  echo "FAIL: the package compiles '$listed', CMake '$core'" >&2
  exit 1
fi

cd "$work"
"$octave" --norc --no-window-system --no-history --quiet --eval \
  "addpath('$root/tests/octave'); check_package('$tarball', '$work/prefix', '$mexdir')"

#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Runs the Windows plug-ins under Wine in the test host and compares each
# outcome, results or error message, byte for byte with the Linux build's.
#   windows/test-windows.sh BUILD   (as windows/build.sh left it)
set -euo pipefail
build=$(realpath "$1")
cases=$build/cases
rm -rf "$cases"
mkdir -p "$cases"
"$build/dyadfit_mex_cases" "$cases" >/dev/null

# A prefix of its own, no display, no prompts for Mono or Gecko.
export WINEPREFIX=$build/wineprefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
[[ -f $WINEPREFIX/system.reg ]] || wine wineboot --init >/dev/null 2>&1
# 32-bit programs run in the same prefix (WoW64), through wine32.

failed=0
passed=0
run() {  # PLUGIN: every call of the plug-in's module
  local plugin=$1 bits=${1##*.mexw}
  [[ $plugin == *.dll ]] && bits=32
  local module
  module=$(basename "${plugin%.*}")
  for call in "$cases"/"$module"_*.call; do
    local name out
    name=$(basename "$call" .call)
    out=$cases/$name.$(basename "$plugin").out
    if ! wine "$build/w$bits/host/mexhost.exe" "$plugin" "$call" "$out" 2>"$out.err"; then
      echo "FAIL $(basename "$plugin") $name: the host failed: $(tr -d '\r' <"$out.err")"
      failed=$((failed + 1))
    elif ! cmp -s "$out" "$cases/$name.want"; then
      echo "FAIL $(basename "$plugin") $name: differs from the Linux build"
      failed=$((failed + 1))
    else
      passed=$((passed + 1))
    fi
  done
}
run "$build/w32/plugins/tessik.mexw32"
run "$build/w32/plugins/tessik.dll"
run "$build/w64/plugins/tessik.mexw64"
run "$build/w64/plugins/brindel.mexw64"
echo "test-windows: $passed passed, $failed failed (quarlo.mexw64, dyadfit_denoise.mexw64 and dyadfit_show.mexw64 built, not run: the test host has no LAPACK or structs)"
((failed == 0))

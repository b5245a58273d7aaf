#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Wine for make test-windows: wine64 for the 64-bit plug-ins, wine32 (from
# the i386 architecture, added here when missing) for the 32-bit ones.
set -euo pipefail
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  if [[ $(id -u) -ne 0 ]]; then
    echo "Wine's 32-bit part needs the i386 architecture; as root run:" >&2
    echo "  dpkg --add-architecture i386 && apt-get update" >&2
    exit 1
  fi
  dpkg --add-architecture i386
fi
exec "$(dirname "$0")/../tools/ensure-deps.sh" wine wine64 wine32:i386

#!/bin/sh
# The installer's size against its budget, and what the bytes are: the file's sections, then the
# largest objects the linker took in (the program's own, the C++ library's, the runtime's), read
# from the linker map that the build writes beside the program.
# usage: bench/size.sh BUILD_DIR [COUNT]    (e.g. bench/size.sh build/windows)
# Builds nothing: BUILD_DIR must hold a built PellmorrowInstaller.exe and its .map.
set -eu
build=${1:?usage: size.sh BUILD_DIR [COUNT]}
exec python3 "$(dirname "$0")/size_report.py" "$build/PellmorrowInstaller.exe" \
  "$build/PellmorrowInstaller.map" 250000 "${2:-15}"

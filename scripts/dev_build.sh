#!/usr/bin/env bash
# Development build: compiles the extension modules into src/orrin (use with PYTHONPATH=src)
# and the GoogleTest suite of the core. Usage: scripts/dev_build.sh [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/dev
if [ ! -f "$build/CMakeCache.txt" ]; then
    launcher=()
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORRIN_INPLACE=ON \
        -DORRIN_BUILD_TESTS=ON -Dpybind11_DIR="$(python3 -m pybind11 --cmakedir)" \
        -DPython_EXECUTABLE="$(command -v python3)" "${launcher[@]}" >/dev/null
fi
cmake --build "$build" -j2 ${1:+--target "$@"}

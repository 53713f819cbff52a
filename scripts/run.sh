#!/usr/bin/env bash
# Installs dependencies, builds the host and starts it, listening for the application-side peer
# on a socket under the user's runtime directory.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps
cmake -S . -B build-run -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMORA_BUILD_TESTS=OFF \
  -DLUMORA_BUILD_BENCH=OFF >/dev/null
cmake --build build-run -j "$(nproc)"

if [ ! -x build-run/runner/lumora ]; then
  echo "built: $(ls build-run/*/ -d 2>/dev/null | tr '\n' ' ')"
  echo "the host executable is not part of this build yet"
  exit 0
fi

runtime_dir="${XDG_RUNTIME_DIR:-/tmp/lumora-$(id -u)}"
mkdir -p "$runtime_dir"
socket="${LUMORA_ENGINE_SOCKET:-$runtime_dir/lumora-engine.sock}"
echo "starting the host; connect the application-side driver with:"
echo "  build-run/tools/lumora-peer --socket $socket"
exec build-run/runner/lumora --engine-socket "$socket" "$@"

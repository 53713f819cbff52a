#!/usr/bin/env bash
# Installs dependencies, builds the host (Release, in build-run/) and starts it, listening for the
# application-side peer on a socket under the user's runtime directory. The host runs in its state
# root, so relative database paths land there and never in the source tree. Arguments are passed
# to the host. tests/e2e/readme_examples.py starts the host the same way: keep them in step.
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
state_root="${LUMORA_HOME:-${XDG_DATA_HOME:-$HOME/.local/share}/lumora}"
mkdir -p "$state_root"
host="$PWD/build-run/runner/lumora"
# Paths given relative to the source tree still mean the same after the move to the state root.
[ -n "${LUMORA_BUNDLE:-}" ] && export LUMORA_BUNDLE="$(realpath -m "$LUMORA_BUNDLE")"
[ -n "${LUMORA_HOME:-}" ] && export LUMORA_HOME="$(realpath -m "$LUMORA_HOME")"
case "$socket" in /*) ;; *) socket="$PWD/$socket" ;; esac
echo "starting the host in $state_root; connect the application-side driver with:"
echo "  build-run/tools/lumora-peer --socket $socket"
cd "$state_root"
exec "$host" --engine-socket "$socket" "$@"

#!/usr/bin/env bash
# Installs dependencies, configures, builds and runs every test (unit and end-to-end).
#   scripts/test.sh                 Debug build in build/
#   LUMORA_SANITIZE=address scripts/test.sh   ASan+UBSan build in build-address/
#   LUMORA_SANITIZE=thread  scripts/test.sh   TSan build in build-thread/
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps

sanitize="${LUMORA_SANITIZE:-}"
build_dir="build${sanitize:+-$sanitize}"
jobs="$(nproc)"

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE="${LUMORA_BUILD_TYPE:-Debug}" \
  -DLUMORA_SANITIZE="$sanitize" -DLUMORA_WERROR="${LUMORA_WERROR:-OFF}" -DLUMORA_BUILD_BENCH=ON >/dev/null
start=$(date +%s)
cmake --build "$build_dir" -j "$jobs"
echo "build took $(( $(date +%s) - start )) s"
cd "$build_dir"
ctest --output-on-failure -j "$jobs" ${LUMORA_CTEST_ARGS:-}

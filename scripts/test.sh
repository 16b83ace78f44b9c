#!/usr/bin/env bash
# Every test: the cuda build compiled and linked (GPU tests skip without a device), the host build on the
# CPU stand-in, and the host build again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export PATH="/usr/local/cuda/bin:$PATH"
export CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-5G}"
# Tests are independent processes: run as many at once as there are cores.
export CTEST_PARALLEL_LEVEL="${CTEST_PARALLEL_LEVEL:-$(nproc)}"
for preset in cuda host sanitize; do
  echo "== $preset"
  cmake --workflow --preset "$preset"
done
echo "== fuzz (model-file reader, 60 s)"
bash fuzz/run.sh 60

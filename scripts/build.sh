#!/usr/bin/env bash
# The main job: set up the machine, then build the library for real GPUs (nvcc) and run what needs no GPU.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export PATH="/usr/local/cuda/bin:$PATH"
cmake --workflow --preset cuda

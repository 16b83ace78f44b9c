#!/usr/bin/env bash
# The main job: set up the machine, build the library for real GPUs (nvcc) and run what needs no GPU, then run
# the Python example: on a GPU when there is one, otherwise on the CPU stand-in of the host build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export PATH="/usr/local/cuda/bin:$PATH"
cmake --workflow --preset cuda

if PYTHONPATH=build/cuda/src .venv/bin/python -c \
    'import sys, quarvel_gpu; sys.exit(not quarvel_gpu.cuda_runtime_info()["available"])' 2>/dev/null; then
  library=build/cuda/src
  echo "build: running examples/evaluate.py on the GPU ($library)"
else
  # Only the library and its module: the host build's tests are scripts/test.sh's job.
  echo "build: no usable GPU; building the library on the CPU stand-in (build/host) for the example"
  cmake --preset host >/dev/null
  cmake --build build/host --target quarvel_gpu
  library=build/host/src
  echo "build: running examples/evaluate.py on the CPU stand-in ($library)"
fi
PYTHONPATH="$library" .venv/bin/python examples/evaluate.py

#!/usr/bin/env bash
# Installs what the builds and tests need on a fresh Debian machine (run as root); quick when all is present.
set -euo pipefail

packages=(cmake ninja-build g++ ccache libgtest-dev libgmock-dev libboost-context-dev clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if ! command -v nvcc >/dev/null 2>&1 && [ -x /usr/local/cuda/bin/nvcc ]; then
  echo "setup: nvcc is in /usr/local/cuda/bin; add it to PATH" >&2
fi

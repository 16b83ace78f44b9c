#!/usr/bin/env bash
# Installs what the builds and tests need on a fresh Debian machine (run as root); quick when all is present.
set -euo pipefail
cd "$(dirname "$0")/.."

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

# The Python module is built for CPython 3.12 and tested with pytest; its interpreter lives in the repo's .venv.
# A `python3.12` on PATH may be a pyenv shim that fails without a selected version, so every candidate is run.
# The module links libpython3.12.so, so the interpreter must be a shared-library build.
is_python312() {
  "$1" -c 'import sys, sysconfig
sys.exit(sys.version_info[:2] != (3, 12) or not sysconfig.get_config_var("Py_ENABLE_SHARED"))' >/dev/null 2>&1
}
find_python312() {
  local candidate
  for candidate in "$(command -v python3.12 || true)" \
                   "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.12*/bin/python3.12 /usr/bin/python3.12; do
    if [ -n "$candidate" ] && [ -x "$candidate" ] && is_python312 "$candidate"; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}
venv_python=.venv/bin/python
venv_ready() {
  "$venv_python" -c 'import sys, numpy, pytest, pybind11
sys.exit(sys.version_info[:2] != (3, 12) or int(pybind11.__version__.split(".")[0]) != 3)' >/dev/null 2>&1
}
if ! venv_ready; then
  if ! python312=$(find_python312); then
    echo "setup: installing python3.12"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends python3.12 python3.12-venv python3.12-dev >/dev/null
    python312=$(find_python312) || { echo "setup: no CPython 3.12 found" >&2; exit 1; }
  fi
  echo "setup: creating .venv with $python312"
  rm -rf .venv
  "$python312" -m venv .venv
  "$venv_python" -m pip install -q --disable-pip-version-check "pybind11>=3,<4" numpy pytest
  venv_ready || { echo "setup: .venv lacks pybind11 3.x, numpy or pytest" >&2; exit 1; }
fi

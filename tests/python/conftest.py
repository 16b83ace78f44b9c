"""Shared fixtures: model files written by the tests themselves, and models loaded from them where a device
(a GPU, or the CPU stand-in of the host build) is available."""

import os
import subprocess
import sys

import numpy as np
import pytest

import quarvel_gpu
from model_writer import ModelShape, write_model

def device_available():
    return quarvel_gpu.cuda_runtime_info()["available"]


def run_fresh(code):
    """Runs `code` in a new interpreter that imports the module from the same place; returns its stdout."""
    environment = dict(os.environ, PYTHONPATH=os.path.dirname(quarvel_gpu.__file__))
    completed = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=environment, timeout=120, check=False
    )
    assert completed.returncode == 0, completed.stderr
    return completed.stdout


@pytest.fixture(scope="session")
def model_directory(tmp_path_factory):
    return tmp_path_factory.mktemp("models")


@pytest.fixture(scope="session")
def model_paths(model_directory):
    """Paths of an ordinary, a charge and a spin model, each with the two types C and H."""
    return {
        family: str(write_model(model_directory, ModelShape(family=family), f"{family}.txt"))
        for family in ("nep4", "nep4_charge1", "nep4_spin")
    }


@pytest.fixture
def load(model_paths):
    """Loads a fresh model of the given family; skipped where no CUDA device can hold it."""
    if not device_available():
        pytest.skip("no usable CUDA device")
    models = []

    def loader(family="nep4"):
        models.append(quarvel_gpu.load_model("cuda", model_paths[family]))
        return models[-1]

    yield loader
    for model in models:
        model.close()


@pytest.fixture
def ordinary(load):
    return load("nep4")


@pytest.fixture
def charge(load):
    return load("nep4_charge1")


@pytest.fixture
def spin(load):
    return load("nep4_spin")


def two_structures():
    """A valid batch of two structures (3 and 2 atoms) in cubic cells, as the batch methods take it."""
    types = np.array([0, 1, 1, 0, 1], dtype=np.int32)
    boxes = np.array([np.diag([6.0, 6.5, 7.0]).ravel(), np.diag([5.5, 6.0, 6.5]).ravel()])
    positions = np.array(
        [[0.0, 0.0, 0.0], [1.1, 0.2, 0.1], [0.3, 1.2, -0.2], [0.5, 0.5, 0.5], [1.6, 0.4, 0.6]], dtype=np.float64
    )
    atom_counts = np.array([3, 2], dtype=np.int32)
    return {"types": types, "boxes": boxes, "positions": positions, "atom_counts": atom_counts}

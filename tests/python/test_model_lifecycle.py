"""Loading, querying, cancelling and closing models, and the status-to-exception rule of the flat calls."""

import gc
import os
import re
import threading

import numpy as np
import pytest

import quarvel_gpu
from conftest import device_available, two_structures
from model_writer import ModelShape, model_text

MODEL_INFO_KEYS = [
    "cutoff_radial", "cutoff_angular", "cutoff_max", "capabilities", "num_types", "descriptor_dim", "model_type",
    "dipole", "polarizability", "dftd3",
]
ESTIMATE_KEYS = ["model_bytes", "workspace_bytes", "total_bytes", "atom_capacity", "structure_capacity"]

# Arguments that fail every check of their own: a closed model must refuse before looking at them.
BAD = np.zeros((2, 2))
CALLS_NEEDING_THE_HANDLE = {
    "calculate": lambda m: m.calculate(BAD, BAD, BAD, BAD),
    "calculate_charge": lambda m: m.calculate_charge(BAD, BAD, BAD, BAD),
    "calculate_with_descriptors": lambda m: m.calculate_with_descriptors(BAD, BAD, BAD, BAD),
    "dipoles": lambda m: m.dipoles(BAD, BAD, BAD, BAD),
    "polarizabilities": lambda m: m.polarizabilities(BAD, BAD, BAD, BAD),
    "calculate_dftd3": lambda m: m.calculate_dftd3(BAD, BAD, BAD, BAD, "pbe", 1.0, 1.0),
    "calculate_with_dftd3": lambda m: m.calculate_with_dftd3(BAD, BAD, BAD, BAD, "pbe", 1.0, 1.0),
    "find_force": lambda m: m.find_force(BAD, BAD, BAD, pbc=None),
    "calculate_spin": lambda m: m.calculate_spin(BAD, BAD, BAD, BAD, BAD),
    "descriptors": lambda m: m.descriptors(BAD, BAD, BAD, BAD),
    "descriptors_spin": lambda m: m.descriptors_spin(BAD, BAD, BAD, BAD, BAD),
    "cancel": lambda m: m.cancel(),
    "reset_cancel": lambda m: m.reset_cancel(),
    "workspace_estimate": lambda m: m.workspace_estimate(0),
    "model_info": lambda m: m.model_info(),
}


@pytest.mark.parametrize("backend", ["cuda", b"cuda", bytearray(b"cuda")], ids=["str", "bytes", "bytearray"])
@pytest.mark.parametrize("as_bytes", [False, True], ids=["path_str", "path_bytes"])
def test_load_model_takes_text_or_bytes(model_paths, backend, as_bytes):
    if not device_available():
        pytest.skip("no usable CUDA device")
    path = model_paths["nep4"]
    with quarvel_gpu.load_model(backend, path.encode() if as_bytes else path) as model:
        assert model.model_info()["model_type"] == "ordinary"


@pytest.mark.parametrize("backend", ["CUDA", "cuda ", "cpu", ""])
def test_load_model_refuses_other_backends(backend):
    with pytest.raises(ValueError, match=r"^quarvel_gpu only supports backend='cuda'$"):
        quarvel_gpu.load_model(backend, "nep.txt")


def test_load_model_with_an_empty_path_is_an_invalid_argument():
    with pytest.raises(ValueError, match=r"^invalid argument$"):
        quarvel_gpu.load_model("cuda", "")


@pytest.mark.parametrize("path", ["nep.txt\0.bak", b"\0nep.txt"], ids=["str", "bytes"])
def test_load_model_refuses_a_path_with_a_nul_byte(path):
    # Cut at the NUL, the path would name another file; here "nep.txt" in the working directory.
    with pytest.raises(ValueError, match=r"^model path must not contain NUL bytes$"):
        quarvel_gpu.load_model("cuda", path)


@pytest.mark.parametrize(
    "header, exception, message",
    [
        ("nep4_dipole 1 C", RuntimeError,
         "unsupported: dipole and polarizability models are unsupported by the CUDA backend; CPU fallback is disabled"),
        ("nep4_temperature 1 C", RuntimeError,
         "unsupported: CUDA engine only accepts supported NEP potential models"),
    ],
    ids=["dipole", "temperature"],
)
def test_refused_model_kinds_raise_the_unsupported_status(tmp_path, header, exception, message):
    if not device_available():
        pytest.skip("no usable CUDA device")
    text = model_text(ModelShape(family="nep4", elements=["C"])).split("\n", 1)[1]
    path = tmp_path / "nep.txt"
    path.write_text(header + "\n" + text)
    with pytest.raises(exception, match="^" + re.escape(message) + "$"):
        quarvel_gpu.load_model("cuda", str(path))


def test_an_unreadable_model_file_is_a_runtime_error(tmp_path):
    with pytest.raises(RuntimeError, match=r"^runtime error: .+"):
        quarvel_gpu.load_model("cuda", str(tmp_path / "missing.txt"))
    broken = tmp_path / "broken.txt"
    broken.write_text("nep4 1 C\ncutoff 5\n")
    with pytest.raises(RuntimeError, match=r"^runtime error: .+"):
        quarvel_gpu.load_model("cuda", str(broken))


@pytest.mark.parametrize(
    "family, model_type, capability_bits",
    [("nep4", "ordinary", 0x47), ("nep4_charge1", "charge", 0x55), ("nep4_spin", "spin", 0xCF)],
    ids=["ordinary", "charge", "spin"],
)
def test_model_info_describes_the_model(load, family, model_type, capability_bits):
    shape = ModelShape(family=family)
    info = load(family).model_info()
    assert list(info) == MODEL_INFO_KEYS
    assert info["model_type"] == model_type
    assert info["capabilities"] == capability_bits
    assert (info["num_types"], info["descriptor_dim"]) == (len(shape.elements), shape.descriptor_dim)
    assert info["cutoff_radial"] == shape.cutoff_radial and info["cutoff_angular"] == shape.cutoff_angular
    cutoff_max = max(shape.cutoff_radial, shape.spin.cutoff) if shape.is_spin else shape.cutoff_radial
    assert info["cutoff_max"] == cutoff_max
    assert (info["dipole"], info["polarizability"], info["dftd3"]) == (False, False, False)


def test_workspace_estimate_defaults_to_one_structure(ordinary):
    single = ordinary.workspace_estimate(1000)
    assert list(single) == ESTIMATE_KEYS
    assert single == ordinary.workspace_estimate(1000, 1)
    assert single == ordinary.workspace_estimate(atom_capacity=1000, structure_capacity=1)
    assert single["total_bytes"] == single["model_bytes"] + single["workspace_bytes"]
    assert (single["atom_capacity"], single["structure_capacity"]) == (1000, 1)
    larger = ordinary.workspace_estimate(4000, 8)
    assert larger["model_bytes"] == single["model_bytes"]
    assert larger["workspace_bytes"] > single["workspace_bytes"]


@pytest.mark.parametrize("capacities", [(0, 1), (1, 0), (-5, 1)], ids=["no_atoms", "no_structures", "negative"])
def test_workspace_estimate_refuses_capacities_below_one(ordinary, capacities):
    with pytest.raises(ValueError, match=r"^invalid argument$"):
        ordinary.workspace_estimate(*capacities)


def test_workspace_estimate_capacities_are_32_bit(ordinary):
    with pytest.raises(TypeError):
        ordinary.workspace_estimate(2**31)


def test_a_with_block_binds_the_model_and_closes_it(ordinary):
    with ordinary as bound:
        assert bound is ordinary
        bound.model_info()
    with pytest.raises(RuntimeError, match=r"^model is closed$"):
        ordinary.model_info()


def test_an_exception_inside_a_with_block_propagates_and_the_model_closes(ordinary):
    with pytest.raises(KeyError, match="inside"):
        with ordinary:
            raise KeyError("inside")
    with pytest.raises(RuntimeError, match=r"^model is closed$"):
        ordinary.workspace_estimate(10)


def test_closing_twice_is_harmless_and_enter_still_returns_the_model(ordinary):
    ordinary.close()
    ordinary.close()
    assert ordinary.__exit__(None, None, None) is None
    assert ordinary.__enter__() is ordinary


def test_exit_takes_three_positional_arguments_only(ordinary):
    with pytest.raises(TypeError):
        ordinary.__exit__(None, None)
    with pytest.raises(TypeError):
        ordinary.__exit__(exc_type=None, exc_value=None, traceback=None)


@pytest.mark.parametrize("call", CALLS_NEEDING_THE_HANDLE.values(), ids=CALLS_NEEDING_THE_HANDLE.keys())
def test_a_closed_model_refuses_before_its_own_checks(ordinary, call):
    ordinary.close()
    with pytest.raises(RuntimeError, match=r"^model is closed$"):
        call(ordinary)


def test_a_failed_argument_conversion_comes_before_the_closed_check(ordinary):
    ordinary.close()
    with pytest.raises(TypeError):
        ordinary.calculate("not numbers", [], [], [])


def test_cancel_leaves_the_queries_working(ordinary):
    assert ordinary.cancel() is None
    assert ordinary.model_info()["model_type"] == "ordinary"
    assert ordinary.workspace_estimate(10)["atom_capacity"] == 10
    assert ordinary.reset_cancel() is None


def evaluation_outcome(call):
    """'ok' or 'cancelled'; anything else fails the test."""
    try:
        call()
    except RuntimeError as error:
        assert str(error) == "cancelled", str(error)
        return "cancelled"
    return "ok"


def test_a_cancelled_model_refuses_evaluations_until_reset(ordinary):
    batch = two_structures()
    ordinary.cancel()
    assert evaluation_outcome(lambda: ordinary.calculate(**batch)) == "cancelled"
    assert evaluation_outcome(lambda: ordinary.find_force(batch["types"][:3], batch["positions"][:3],
                                                          batch["boxes"][0])) == "cancelled"
    ordinary.reset_cancel()
    assert evaluation_outcome(lambda: ordinary.calculate(**batch)) == "ok"


def run_threads(targets, seconds=60):
    threads = [threading.Thread(target=target) for target in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=seconds)
    assert not any(thread.is_alive() for thread in threads), "a thread did not finish: deadlock"


def test_cancel_from_another_thread_while_computations_run(ordinary):
    batch = two_structures()
    stop = threading.Event()
    outcomes = []

    def compute():
        while not stop.is_set():
            outcomes.append(evaluation_outcome(lambda: ordinary.calculate(**batch)))

    def cancel():
        for _ in range(200):
            ordinary.cancel()
            ordinary.reset_cancel()
        ordinary.cancel()
        stop.set()

    run_threads([compute, compute, compute, cancel])
    assert outcomes and set(outcomes) <= {"ok", "cancelled"}
    assert evaluation_outcome(lambda: ordinary.calculate(**batch)) == "cancelled"
    ordinary.reset_cancel()


def test_closing_while_other_threads_compute(ordinary):
    batch = two_structures()
    started = threading.Barrier(4)
    errors = []

    def compute():
        started.wait()
        for _ in range(200):
            try:
                ordinary.calculate(**batch)
            except RuntimeError as error:
                errors.append(str(error))

    def close():
        started.wait()
        ordinary.close()

    run_threads([compute, compute, compute, close])
    assert all(e == "model is closed" for e in errors)
    with pytest.raises(RuntimeError, match=r"^model is closed$"):
        ordinary.calculate(**batch)


@pytest.mark.skipif(os.environ.get("QUARVEL_TEST_BACKEND") != "host",
                    reason="device memory is accounted to the byte on the CPU stand-in only")
@pytest.mark.parametrize("release", [lambda model: model.close(), lambda model: None], ids=["close", "drop"])
def test_releasing_a_model_frees_its_device_memory(model_paths, release):
    def free_bytes():
        return quarvel_gpu.cuda_runtime_info()["free_memory_bytes"]

    before = free_bytes()
    model = quarvel_gpu.load_model("cuda", model_paths["nep4_spin"])
    assert before - free_bytes() == model.workspace_estimate(1)["model_bytes"]
    release(model)
    del model
    gc.collect()
    assert free_bytes() == before

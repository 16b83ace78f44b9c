"""The module as a whole: its members, the engine registry functions, BackendInfo and the CUDA runtime report."""

import os
import shutil
import subprocess

import pytest

import quarvel_gpu
from conftest import run_fresh

REPORT_KEYS = ["driver_version", "runtime_version", "devices", "free_memory_bytes", "available", "reason", "detail"]
DEVICE_KEYS = ["index", "name", "major", "minor", "total_memory_bytes"]


def test_module_defines_its_members_in_order():
    assert quarvel_gpu.__doc__ == "Quarvel CUDA Python backend"
    own = [name for name in vars(quarvel_gpu) if not name.startswith("__")]
    assert own == [
        "BackendInfo", "Model", "cuda_runtime_info", "register_cuda", "backend_count", "backend_info", "load_model"
    ]


def other_interpreter():
    """A CPython other than 3.12 on this machine, or None."""
    for name in ("python3.11", "python3.13", "python3"):
        path = shutil.which(name) or (f"/usr/bin/{name}" if os.path.exists(f"/usr/bin/{name}") else None)
        if path is None:
            continue
        probe = subprocess.run([path, "-c", "import sys; print(sys.version_info[:2] != (3, 12))"],
                               capture_output=True, text=True, timeout=60, check=False)
        if probe.returncode == 0 and probe.stdout.strip() == "True":
            return path
    return None


def test_other_interpreters_refuse_the_import_by_version():
    interpreter = other_interpreter()
    if interpreter is None:
        pytest.skip("no CPython other than 3.12 here")
    environment = dict(os.environ, PYTHONPATH=os.path.dirname(quarvel_gpu.__file__))
    code = "import sys\ntry:\n    import quarvel_gpu\nexcept ImportError as error:\n    print(error)\n    print(sys.version)"
    completed = subprocess.run([interpreter, "-c", code], capture_output=True, text=True, env=environment,
                               timeout=120, check=False)
    message, version = completed.stdout.split("\n", 1)
    assert message == (
        "Python version mismatch: module was compiled for Python 3.12, but the interpreter version is incompatible: "
        f"{version.strip()}."
    )


def test_importing_the_module_does_not_import_numpy():
    assert run_fresh("import sys, quarvel_gpu; print('numpy' in sys.modules)").split() == ["False"]


def test_a_fresh_process_has_no_engine_until_register_cuda():
    output = run_fresh(
        """
import quarvel_gpu as q
print(q.backend_count())
try:
    q.backend_info(0)
except RuntimeError as error:
    print(error)
print(q.register_cuda(), q.register_cuda())
info = q.backend_info(0)
print(q.backend_count(), info.name, info.version, info.capabilities)
"""
    )
    assert output.splitlines() == ["0", "backend unavailable", "None None", "1 cuda 1.0.2 4"]


def test_load_model_registers_the_engine_but_a_wrong_backend_does_not():
    output = run_fresh(
        """
import quarvel_gpu as q
for backend in ("CUDA", "cuda"):
    try:
        q.load_model(backend, "")
    except ValueError as error:
        print(error)
    print(q.backend_count())
"""
    )
    assert output.splitlines() == ["quarvel_gpu only supports backend='cuda'", "0", "invalid argument", "1"]


@pytest.mark.parametrize("index", [-1, 1, 2**31 - 1], ids=["negative", "past_the_end", "largest_int32"])
def test_backend_info_outside_the_registry_is_unavailable(index):
    quarvel_gpu.register_cuda()
    with pytest.raises(RuntimeError, match=r"^backend unavailable"):
        quarvel_gpu.backend_info(index)


@pytest.mark.parametrize(
    "call",
    [
        lambda: quarvel_gpu.backend_info(2**31),
        lambda: quarvel_gpu.backend_info(-(2**31) - 1),
        lambda: quarvel_gpu.backend_info("0"),
        lambda: quarvel_gpu.backend_info(0.0),
        lambda: quarvel_gpu.backend_info(index=0),
        lambda: quarvel_gpu.backend_info(),
        lambda: quarvel_gpu.backend_count(1),
        lambda: quarvel_gpu.load_model(backend="cuda", path="nep.txt"),
        lambda: quarvel_gpu.load_model("cuda", 1),
        lambda: quarvel_gpu.BackendInfo(),
        lambda: quarvel_gpu.Model(),
    ],
    ids=[
        "index_2_to_31", "index_below_int32", "index_str", "index_float", "index_by_keyword", "index_missing",
        "count_with_argument", "load_by_keyword", "path_int", "backend_info_class", "model_class",
    ],
)
def test_wrong_argument_kinds_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_backend_info_appends_a_last_error_left_by_an_earlier_call(tmp_path):
    quarvel_gpu.register_cuda()
    with pytest.raises(RuntimeError, match=r"^runtime error: .+"):
        quarvel_gpu.load_model("cuda", str(tmp_path / "missing.txt"))
    with pytest.raises(RuntimeError, match=r"^backend unavailable: .+"):
        quarvel_gpu.backend_info(5)


def test_backend_info_is_a_read_only_snapshot():
    quarvel_gpu.register_cuda()
    info = quarvel_gpu.backend_info(0)
    for _ in range(3):
        quarvel_gpu.backend_info(0)
    assert (info.name, info.version, info.capabilities) == ("cuda", "1.0.2", 4)
    with pytest.raises(AttributeError):
        info.name = "other"
    with pytest.raises(AttributeError):
        info.capabilities = 0


def test_cuda_runtime_info_keys_and_value_kinds():
    report = quarvel_gpu.cuda_runtime_info()
    assert list(report) == REPORT_KEYS
    assert isinstance(report["available"], bool)
    assert report["available"] == bool(report["devices"])
    assert isinstance(report["reason"], str)
    for key in ("driver_version", "runtime_version", "free_memory_bytes"):
        assert report[key] is None or isinstance(report[key], int)


def test_cuda_runtime_info_with_devices_lists_each_and_their_free_memory():
    report = quarvel_gpu.cuda_runtime_info()
    if not report["available"]:
        pytest.skip(f"no usable CUDA device: {report['reason']}")
    assert report["reason"] == "available"
    assert report["detail"] == (
        "CUDA allocation, kernel launch, synchronization, and copyback passed on at least one device."
    )
    indices = [device["index"] for device in report["devices"]]
    assert indices == sorted(set(indices))
    for device in report["devices"]:
        assert list(device) == DEVICE_KEYS
        assert isinstance(device["name"], str) and device["name"]
        assert device["major"] >= 6 and device["total_memory_bytes"] > 0
    assert 0 <= report["free_memory_bytes"] <= report["devices"][0]["total_memory_bytes"]


def test_cuda_runtime_info_without_devices_says_why():
    report = quarvel_gpu.cuda_runtime_info()
    if report["available"]:
        pytest.skip("a CUDA device is usable here")
    assert report["devices"] == [] and report["free_memory_bytes"] is None
    assert report["reason"] in ("driver_unavailable", "runtime_unavailable", "kernel_probe_failed", "no_device")
    assert isinstance(report["detail"], str) and report["detail"]
    if report["driver_version"] == 0:  # no driver installed at all
        assert report["reason"] == "driver_unavailable"


@pytest.mark.skipif(os.environ.get("QUARVEL_TEST_BACKEND") != "host", reason="the CPU stand-in is the host build's")
def test_the_host_build_reports_the_stand_in_device():
    report = quarvel_gpu.cuda_runtime_info()
    assert report["available"] and report["devices"][0]["index"] == 0


def test_successive_reports_agree_apart_from_free_memory():
    first = quarvel_gpu.cuda_runtime_info()
    second = quarvel_gpu.cuda_runtime_info()
    assert first is not second
    first.pop("free_memory_bytes")
    second.pop("free_memory_bytes")
    assert first == second

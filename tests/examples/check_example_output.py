"""Runs one example as a user runs it and compares every number it prints with the batch call
(Model.calculate) on the same model and structures: energy, virial and forces of each structure block.

Usage: check_example_output.py BLOCKS COMMAND...
The model written by examples/evaluate.py is appended to COMMAND; the example must print BLOCKS blocks."""

import re
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

import quarvel_gpu

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
import evaluate  # noqa: E402  (the examples' own model writer and structures)

SKIP = 77  # the tests' SKIP_RETURN_CODE: no usable device in this build

# Single-precision per-pair sums in neighbor-list order, which varies between runs and between roads, set this
# (the 8 printed decimals are finer).
TOLERANCE = 2e-6

TITLE = re.compile(r"^structure (\d+) .*: (\d+) atoms$")
ENTRY = re.compile(r"^  (energy|virial \(([a-z ]+)\)|force on atom (\d+) \(\w+\)): (\S+(?: \S+)*) (eV|eV/Angstrom)$")


def expected_blocks(model):
    """Per structure of the examples: energy (eV), forces (n, 3) and virial (3, 3), from one batch call."""
    types, positions, boxes = zip(*(evaluate.as_arrays(*s) for s in evaluate.structures()))
    atom_counts = np.array([len(t) for t in types], dtype=np.int32)
    energies, forces, virials = model.calculate(
        np.concatenate(types), np.stack(boxes), np.concatenate(positions), atom_counts)
    ends = np.cumsum(atom_counts)
    return [(energies[end - n:end].sum(), forces[end - n:end], virials[end - n:end].sum(axis=0).reshape(3, 3))
            for n, end in zip(atom_counts, ends)]


def parse_blocks(text):
    """[(structure, atom count, {entry: values})] in printed order; unindented lines other than titles are notes."""
    blocks = []
    for line in text.splitlines():
        title = TITLE.match(line)
        if title:
            blocks.append((int(title[1]), int(title[2]), {}))
            continue
        if not line.startswith(" "):
            continue
        entry = ENTRY.match(line)
        assert entry and blocks, f"unexpected line: {line!r}"
        key = "energy" if entry[1] == "energy" else entry[2] if entry[2] else int(entry[3])
        blocks[-1][2][key] = np.array([float(v) for v in entry[4].split()])
    return blocks


def expected_virial(virial, names):
    """The printed components: "ab" alone stands for the symmetric part (ab + ba) / 2, as LAMMPS reports it."""
    axis = {"x": 0, "y": 1, "z": 2}
    values = []
    for name in names:
        a, b = axis[name[0]], axis[name[1]]
        values.append(virial[a, b] if name[::-1] in names else 0.5 * (virial[a, b] + virial[b, a]))
    return np.array(values)


def compare(blocks, expected):
    failures = []
    for structure, count, entries in blocks:
        energy, forces, virial = expected[structure]
        virial_keys = [key for key in entries if isinstance(key, str) and key != "energy"]
        if count != len(forces) or len(virial_keys) != 1 or set(entries) != {"energy", *virial_keys, *range(count)}:
            failures.append(f"structure {structure}: printed {sorted(map(str, entries))} for {count} atoms")
            continue
        wanted = {"energy": np.array([energy]), virial_keys[0]: expected_virial(virial, virial_keys[0].split())}
        wanted.update(enumerate(forces))
        for key, values in entries.items():
            if not np.allclose(values, wanted[key], rtol=TOLERANCE, atol=TOLERANCE):
                failures.append(f"structure {structure} {key}: printed {values}, batch call {wanted[key]}")
    return failures


def main():
    block_count, command = int(sys.argv[1]), sys.argv[2:]
    if not quarvel_gpu.cuda_runtime_info()["available"]:
        print("no usable CUDA device")
        return SKIP
    with tempfile.TemporaryDirectory() as scratch:
        model_path = str(Path(scratch) / "nep.txt")
        evaluate.write_model(model_path)
        run = subprocess.run(command + [model_path], capture_output=True, text=True, timeout=300, check=False)
        print(run.stdout, end="")
        assert run.returncode == 0, f"the example failed ({run.returncode}): {run.stderr}"
        with quarvel_gpu.load_model("cuda", model_path) as model:
            expected = expected_blocks(model)
    blocks = parse_blocks(run.stdout)
    failures = compare(blocks, expected)
    if len(blocks) != block_count:
        failures.append(f"{len(blocks)} blocks printed, {block_count} expected")
    for failure in failures:
        print("MISMATCH", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

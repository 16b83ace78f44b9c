"""Energies, forces and virials with quarvel_gpu: one periodic structure, then a batch of two.

Usage: python examples/evaluate.py [MODEL]
Without MODEL it first writes a small Si-O model whose parameters are arbitrary, so the numbers mean nothing
physically. quarvel_gpu.so must be on PYTHONPATH (build/cuda/src, or build/host/src for the CPU stand-in)."""

import sys
import tempfile
from pathlib import Path

import numpy as np

import quarvel_gpu

# The order of the element symbols in the model file's first line gives the model's types: Si is 0, O is 1.
ELEMENTS = ["Si", "O"]


def write_model(path):
    """A two-element nep4 model; every parameter is a fixed pseudo-random value in [-1, 1]."""
    neurons, descriptors = 3, 3 + 2 * 2  # radial: n_max + 1; angular: (n_max + 1) x l_max
    # Per type: hidden weights and biases, output weights; then one output bias.
    network = len(ELEMENTS) * (neurons * descriptors + 2 * neurons) + 1
    coefficients = len(ELEMENTS) ** 2 * (3 * 3 + 2 * 2)  # per type pair: (n_max + 1) x (basis_size + 1), twice
    state, values = 2024, []
    for _ in range(network + coefficients + descriptors):
        state = (state * 1664525 + 1013904223) % 2**32
        values.append(((state >> 8) % 2049 - 1024) / 1024)
    values[-descriptors:] = [1.5 + v for v in values[-descriptors:]]  # the descriptor scalers must be positive
    lines = [f"nep4 {len(ELEMENTS)} {' '.join(ELEMENTS)}",
             "cutoff 5 4 60 40",  # radial and angular cutoffs (Angstrom), largest neighbor counts
             "n_max 2 1", "basis_size 2 1", "l_max 2", f"ANN {neurons} 0"]
    Path(path).write_text("\n".join(lines + [f"{v:.9g}" for v in values]) + "\n")


def structures():
    """Two periodic structures: element symbols, cell vectors as rows (as ASE's atoms.cell), fractional positions."""
    triclinic = (["Si", "Si", "O", "O", "O", "O"],
                 np.array([[5.2, 0.0, 0.0], [1.1, 5.0, 0.0], [0.6, 0.9, 5.4]]),
                 np.array([[0.0, 0.0, 0.0], [0.5, 0.5, 0.5], [0.25, 0.1, 0.3],
                           [0.75, 0.6, 0.2], [0.3, 0.7, 0.8], [0.8, 0.2, 0.65]]))
    cubic = (["Si", "O", "O", "Si"], 4.6 * np.eye(3),
             np.array([[0.1, 0.1, 0.1], [0.35, 0.4, 0.2], [0.6, 0.15, 0.45], [0.55, 0.6, 0.6]]))
    return [triclinic, cubic]


def as_arrays(symbols, cell, fractional):
    """One structure as quarvel_gpu takes it: int32 types, Cartesian positions (n, 3) and the 9 box values."""
    types = np.array([ELEMENTS.index(symbol) for symbol in symbols], dtype=np.int32)
    return types, fractional @ cell, cell.T.ravel()  # a box holds the cell vectors as columns


def report(title, symbols, energy, forces, virial):
    print(f"{title}: {len(symbols)} atoms")
    print(f"  energy: {energy:.8f} eV")
    print("  virial (xx xy xz yx yy yz zx zy zz):", " ".join(f"{v:.8f}" for v in virial), "eV")
    for i, (symbol, force) in enumerate(zip(symbols, forces)):
        print(f"  force on atom {i} ({symbol}):", " ".join(f"{f:.8f}" for f in force), "eV/Angstrom")


def main():
    with tempfile.TemporaryDirectory() as scratch:
        if len(sys.argv) > 1:
            path = sys.argv[1]
        else:
            path = str(Path(scratch) / "nep.txt")
            write_model(path)
        with quarvel_gpu.load_model("cuda", path) as model:
            symbols = [s[0] for s in structures()]
            types, positions, boxes = zip(*(as_arrays(*s) for s in structures()))

            energy, forces, virial = model.find_force(types[0], positions[0], boxes[0])
            report("structure 0 alone (find_force)", symbols[0], energy, forces, virial)

            # The batch call returns per-atom values; a structure's energy and virial are their sums.
            atom_counts = np.array([len(t) for t in types], dtype=np.int32)
            atom_energies, forces, atom_virials = model.calculate(
                np.concatenate(types), np.stack(boxes), np.concatenate(positions), atom_counts)
            first = 0
            for s, count in enumerate(atom_counts):
                atoms = slice(first, first + count)
                report(f"structure {s} in a batch of {len(atom_counts)} (calculate)", symbols[s],
                       atom_energies[atoms].sum(), forces[atoms], atom_virials[atoms].sum(axis=0))
                first += count


if __name__ == "__main__":
    main()

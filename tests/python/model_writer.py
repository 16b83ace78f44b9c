"""Writes small "nep.txt" model files for the module's tests: ordinary, charge and spin models of a compact
shape with deterministic parameters, and any header for refusal tests. The writer does not validate."""

import random
from dataclasses import dataclass, field
from pathlib import Path

# Spin descriptor rows per spin channel for spin_l_max 0..4, before the two global rows.
SPIN_ROWS_PER_CHANNEL = (7, 11, 12, 13, 14)


@dataclass
class SpinShape:
    compress: int = 2
    basis_size_radial: int = 3
    basis_size_angular: int = 2
    n_max_radial: int = 2
    n_max_angular: int = 1
    l_max: int = 2
    cutoff: float = 5.5  # Angstrom


@dataclass
class ModelShape:
    """A compact model: every descriptor part present, a file of a few hundred lines."""

    family: str = "nep4"
    elements: list = field(default_factory=lambda: ["C", "H"])
    cutoff_radial: float = 5.0  # Angstrom
    cutoff_angular: float = 4.0  # Angstrom
    max_neighbors_radial: int = 100
    max_neighbors_angular: int = 60
    n_max_radial: int = 2
    n_max_angular: int = 1
    basis_size_radial: int = 2
    basis_size_angular: int = 1
    l_max_3body: int = 2
    hidden_neurons: int = 3
    spin: SpinShape = field(default_factory=SpinShape)
    seed: int = 1

    @property
    def is_spin(self):
        return "_spin" in self.family

    @property
    def is_charge(self):
        return "_charge" in self.family

    @property
    def structural_descriptor_dim(self):
        return self.n_max_radial + 1 + (self.n_max_angular + 1) * self.l_max_3body

    @property
    def spin_descriptor_dim(self):
        if not self.is_spin:
            return 0
        return self.spin.compress * SPIN_ROWS_PER_CHANNEL[self.spin.l_max] + 2

    @property
    def descriptor_dim(self):
        return self.structural_descriptor_dim + self.spin_descriptor_dim


def _spin_lines(shape):
    s = shape.spin
    baseline = " ".join(f"{0.5 * (t + 1):.9g}" for t in range(len(shape.elements)))
    return [
        "spin_mode 1",
        f"spin_compress {s.compress}",
        f"spin_basis_size {s.basis_size_radial} {s.basis_size_angular}",
        f"spin_n_max {s.n_max_radial} {s.n_max_angular}",
        f"spin_l_max {s.l_max} 0 0",
        "spin_chiral 0",
        f"spin_cutoff {s.cutoff:.17g} {s.cutoff:.17g}",
        "spin_scaler 1",
        f"spin_baseline {baseline}",
    ]


def header_lines(shape):
    lines = [f"{shape.family} {len(shape.elements)} {' '.join(shape.elements)}"]
    if shape.is_spin:
        lines += _spin_lines(shape)
    lines += [
        f"cutoff {shape.cutoff_radial:.17g} {shape.cutoff_angular:.17g} "
        f"{shape.max_neighbors_radial} {shape.max_neighbors_angular}",
        f"n_max {shape.n_max_radial} {shape.n_max_angular}",
        f"basis_size {shape.basis_size_radial} {shape.basis_size_angular}",
        f"l_max {shape.l_max_3body}",
        f"ANN {shape.hidden_neurons} 0",
    ]
    return lines


def parameter_count(shape):
    """Network per type, sqrt_epsilon_inf (charge), energy bias, coefficients, scaler: in file order."""
    types = len(shape.elements)
    hidden = shape.hidden_neurons
    per_type = hidden * shape.descriptor_dim + 2 * hidden + (hidden if shape.is_charge else 0)
    pairs = types * types
    coefficients = pairs * (
        (shape.n_max_radial + 1) * (shape.basis_size_radial + 1)
        + (shape.n_max_angular + 1) * (shape.basis_size_angular + 1)
    )
    if shape.is_spin:
        coefficients += pairs * shape.spin.compress * (shape.spin.basis_size_radial + 1)
    return types * per_type + (1 if shape.is_charge else 0) + 1 + coefficients + shape.descriptor_dim


def model_text(shape):
    values = random.Random(shape.seed)
    count = parameter_count(shape)
    # The scaler closes the block and must be positive; every other value is a small signed number.
    parameters = [values.uniform(-1.0, 1.0) for _ in range(count - shape.descriptor_dim)]
    parameters += [values.uniform(0.25, 2.75) for _ in range(shape.descriptor_dim)]
    return "".join(line + "\n" for line in header_lines(shape) + [f"{p:.9g}" for p in parameters])


def write_model(directory, shape, name="nep.txt"):
    path = Path(directory) / name
    path.write_text(model_text(shape))
    return path

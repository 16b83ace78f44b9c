"""The computations of Model: argument conversion and checks with their exact messages, the model checks before
them, and the flat call's status as an exception. Calls that pass every check reach the engine; where its driver
is built they return new float64 arrays of the documented shapes."""

import re

import numpy as np
import pytest

from conftest import two_structures
from model_writer import ModelShape

N_ATOMS = 5
N_STRUCTURES = 2
DESCRIPTOR_DIM = {family: ModelShape(family=family).descriptor_dim for family in ("nep4", "nep4_spin")}


def batch(**changes):
    arguments = two_structures()
    arguments.update(changes)
    return arguments


def spins(count=N_ATOMS, columns=3):
    return np.linspace(-1.0, 1.0, count * columns).reshape(count, columns)


def exactly(message):
    return "^" + re.escape(message) + "$"


# Each case changes the valid batch of two structures; the first failing check in the documented order wins.
PREPARE_REFUSALS = {
    "types_2d": (dict(types=np.zeros((5, 1))), "types must be a 1D int32 array"),
    "types_2d_and_bad_box": (dict(types=np.zeros((5, 1)), boxes=np.eye(3)), "types must be a 1D int32 array"),
    "types_scalar": (dict(types=3), "types must be a 1D int32 array"),
    "positions_two_columns": (dict(positions=np.zeros((5, 2))), "positions must have shape (natoms, 3)"),
    "positions_flat": (dict(positions=np.zeros(15)), "positions must have shape (natoms, 3)"),
    "atom_counts_2d": (dict(atom_counts=[[3, 2]]), "atom_counts must be a 1D int32 array"),
    "fewer_types_than_positions": (dict(types=[0, 1, 1, 0]), "types and positions atom counts differ"),
    "no_atoms": (dict(types=[], positions=np.zeros((0, 3)), atom_counts=[]), "empty batches are not supported"),
    "no_structures": (dict(atom_counts=np.zeros(0)), "empty batches are not supported"),
    "zero_count": (dict(atom_counts=[5, 0]), "atom_counts must be positive"),
    "negative_count_before_a_bad_sum": (dict(atom_counts=[7, -1, 9]), "atom_counts must be positive"),
    "sum_below": (dict(atom_counts=[2, 2]), "sum(atom_counts) must equal len(types)"),
    "sum_above": (dict(atom_counts=[3, 3]), "sum(atom_counts) must equal len(types)"),
    # Summed in 32 bits these counts would wrap around to exactly 5 and pass with offsets far outside the batch.
    "sum_wraps_around_32_bits": (
        dict(atom_counts=[2**31 - 1, 2**31 - 1, 2, 5]), "sum(atom_counts) must equal len(types)"),
    "box_3x3": (dict(boxes=6.0 * np.eye(3)), "boxes must have shape (9,) or (nstructures, 9)"),
    "box_eight_values": (dict(boxes=np.ones(8)), "boxes must have shape (9,) or (nstructures, 9)"),
    "boxes_for_three_structures": (dict(boxes=np.ones((3, 9))), "boxes must have shape (9,) or (nstructures, 9)"),
    "boxes_3d": (dict(boxes=np.ones((2, 3, 3))), "boxes must have shape (9,) or (nstructures, 9)"),
    "pbc_none": (dict(pbc=None), "pbc defaults to (1,1,1); omit it instead of passing None"),
    "pbc_two_values": (dict(pbc=(1, 1)), "pbc must have shape (3,) or (nstructures, 3)"),
    "pbc_for_three_structures": (dict(pbc=np.ones((3, 3))), "pbc must have shape (3,) or (nstructures, 3)"),
    "pbc_scalar": (dict(pbc=1), "pbc must have shape (3,) or (nstructures, 3)"),
    "pbc_open_z": (dict(pbc=(1, 1, 0)), "Quarvel supports fully periodic structures only (pbc=[1,1,1])"),
    "pbc_open_in_second_structure": (
        dict(pbc=[[1, 1, 1], [1, 0, 1]]), "Quarvel supports fully periodic structures only (pbc=[1,1,1])"),
    "pbc_two_means_not_periodic": (dict(pbc=(1, 2, 1)), "Quarvel supports fully periodic structures only (pbc=[1,1,1])"),
    "pbc_half_truncates_to_zero": (
        dict(pbc=(1.0, 1.0, 0.5)), "Quarvel supports fully periodic structures only (pbc=[1,1,1])"),
}

# Batch methods over the same five arguments; spin methods take spins before atom_counts.
BATCH_METHODS = {
    "calculate": ("nep4", lambda m, a: m.calculate(**a)),
    "calculate_charge": ("nep4_charge1", lambda m, a: m.calculate_charge(**a)),
    "dipoles": ("nep4", lambda m, a: m.dipoles(**a)),
    "polarizabilities": ("nep4", lambda m, a: m.polarizabilities(**a)),
    "calculate_dftd3": ("nep4", lambda m, a: m.calculate_dftd3(**a, functional="pbe", cutoff=12.0, cutoff_cn=8.0)),
    "calculate_with_dftd3": (
        "nep4", lambda m, a: m.calculate_with_dftd3(**a, functional=b"pbe", cutoff=12.0, cutoff_cn=8.0)),
    "calculate_spin": ("nep4_spin", lambda m, a: m.calculate_spin(**a, spins=spins())),
    "descriptors": ("nep4", lambda m, a: m.descriptors(**a)),
    "descriptors_spin": ("nep4_spin", lambda m, a: m.descriptors_spin(**a, spins=spins())),
}


@pytest.mark.parametrize("method", BATCH_METHODS.values(), ids=BATCH_METHODS.keys())
@pytest.mark.parametrize("changes, message", PREPARE_REFUSALS.values(), ids=PREPARE_REFUSALS.keys())
def test_batch_methods_refuse_bad_batches(load, method, changes, message):
    family, call = method
    with pytest.raises(ValueError, match=exactly(message)):
        call(load(family), batch(**changes))


def expect_engine_invalid_argument(call):
    """The engine refuses the call with status 1 and no text."""
    with pytest.raises(ValueError, match=r"^invalid argument$"):
        call()


def check_arrays(result, shapes):
    arrays = result if isinstance(result, tuple) else (result,)
    assert [array.shape for array in arrays] == shapes
    for array in arrays:
        assert array.dtype == np.float64 and array.flags.c_contiguous and array.flags.owndata


# Calls that pass every check of the module, with the shapes of what they return.
VALID_CALLS = {
    "calculate": ("nep4", lambda m: m.calculate(**batch()), [(5,), (5, 3), (5, 9)]),
    "calculate_by_position": (
        "nep4", lambda m: m.calculate(*batch().values(), (1, 1, 1)), [(5,), (5, 3), (5, 9)]),
    "calculate_charge": ("nep4_charge1", lambda m: m.calculate_charge(**batch()),
                         [(5,), (5, 3), (5, 9), (5,), (5, 9)]),
    "calculate_spin": ("nep4_spin", lambda m: m.calculate_spin(**batch(), spins=spins()),
                       [(5,), (5, 3), (5, 9), (5, 3)]),
    "descriptors": ("nep4", lambda m: m.descriptors(**batch()), [(5, DESCRIPTOR_DIM["nep4"])]),
    "descriptors_spin": ("nep4_spin", lambda m: m.descriptors_spin(**batch(), spins=spins()),
                         [(5, DESCRIPTOR_DIM["nep4_spin"])]),
    "one_box_for_every_structure": ("nep4", lambda m: m.calculate(**batch(boxes=np.eye(3).ravel() * 6.0)),
                                    [(5,), (5, 3), (5, 9)]),
    "pbc_per_structure": ("nep4", lambda m: m.calculate(**batch(pbc=np.ones((2, 3), dtype=np.int64))),
                          [(5,), (5, 3), (5, 9)]),
    "pbc_as_floats": ("nep4", lambda m: m.calculate(**batch(pbc=[1.0, 1.9, 1.0])), [(5,), (5, 3), (5, 9)]),
    "types_as_floats_are_truncated": (
        "nep4", lambda m: m.calculate(**batch(types=[0.2, 1.7, 1.0, 0.0, 1.5])), [(5,), (5, 3), (5, 9)]),
    "lists_and_strided_arrays": (
        "nep4",
        lambda m: m.calculate(types=[0, 1, 1, 0, 1], boxes=np.asfortranarray(two_structures()["boxes"]),
                              positions=np.zeros((5, 6))[:, ::2], atom_counts=(3, 2)),
        [(5,), (5, 3), (5, 9)]),
    "single_structure": ("nep4", lambda m: m.calculate(**batch(atom_counts=[5], boxes=np.eye(3).ravel() * 6.0)),
                         [(5,), (5, 3), (5, 9)]),
}


@pytest.mark.parametrize("family, call, shapes", VALID_CALLS.values(), ids=VALID_CALLS.keys())
def test_valid_calls_reach_the_engine(load, family, call, shapes):
    model = load(family)
    first = call(model)
    check_arrays(first, shapes)
    second = call(model)
    for a, b in zip(first if isinstance(first, tuple) else (first,), second if isinstance(second, tuple) else (second,)):
        assert not np.shares_memory(a, b)


# Model checks come before the batch is looked at, so these pass arguments that would fail it.
WRONG = np.zeros((2, 2))
MODEL_CHECKS = {
    "calculate_on_a_charge_model": (
        "nep4_charge1", lambda m: m.calculate(WRONG, WRONG, WRONG, WRONG), ValueError,
        "charge models require calculate_charge() to return charge and BEC"),
    "calculate_spin_without_spin_input": (
        "nep4", lambda m: m.calculate_spin(WRONG, WRONG, WRONG, WRONG, WRONG), ValueError,
        "spin input requires a spin NEP model"),
    "descriptors_spin_without_spin_input": (
        "nep4", lambda m: m.descriptors_spin(WRONG, WRONG, WRONG, WRONG, WRONG), ValueError,
        "spin input requires a spin NEP model"),
    "calculate_with_descriptors": (
        "nep4", lambda m: m.calculate_with_descriptors(WRONG, WRONG, WRONG, WRONG), RuntimeError,
        "prediction with descriptors is unsupported by this model/backend"),
}


@pytest.mark.parametrize("family, call, exception, message", MODEL_CHECKS.values(), ids=MODEL_CHECKS.keys())
def test_model_checks_come_first(load, family, call, exception, message):
    with pytest.raises(exception, match=exactly(message)):
        call(load(family))


@pytest.mark.parametrize(
    "family, call",
    [("nep4_spin", lambda m: m.calculate_spin(**batch(), spins=spins(columns=4))),
     ("nep4_spin", lambda m: m.calculate_spin(**batch(), spins=spins(count=4))),
     ("nep4_spin", lambda m: m.descriptors_spin(**batch(), spins=spins().ravel()))],
    ids=["four_columns", "one_row_short", "flat"],
)
def test_spins_must_have_one_row_per_atom(load, family, call):
    with pytest.raises(ValueError, match=exactly("spins must have shape (natoms, 3)")):
        call(load(family))


# Refusals by the flat interface or the engine, raised by the status rule: status text, ": ", last error.
FLAT_REFUSALS = {
    "dipoles": ("nep4", lambda m: m.dipoles(**batch()), "unsupported: dipoles require a dipole NEP model"),
    "polarizabilities": (
        "nep4", lambda m: m.polarizabilities(**batch()),
        "unsupported: polarizabilities require a polarizability NEP model"),
    "calculate_dftd3": (
        "nep4", lambda m: m.calculate_dftd3(**batch(), functional="pbe", cutoff=12.0, cutoff_cn=8.0),
        "unsupported: DFT-D3 is unsupported by the CUDA backend; CPU fallback is disabled"),
    "calculate_with_dftd3": (
        "nep4", lambda m: m.calculate_with_dftd3(**batch(), functional=bytearray(b"pbe"), cutoff=12.0, cutoff_cn=8.0),
        "unsupported: DFT-D3 is unsupported by the CUDA backend; CPU fallback is disabled"),
    "calculate_dftd3_on_a_charge_model": (
        "nep4_charge1", lambda m: m.calculate_dftd3(**batch(), functional="pbe", cutoff=12.0, cutoff_cn=8.0),
        "unsupported: DFT-D3 is supported only for ordinary non-spin, non-charge NEP models"),
    "calculate_charge_on_an_ordinary_model": (
        "nep4", lambda m: m.calculate_charge(**batch()), "unsupported: calculate_charge requires a charge NEP model"),
    "find_force_on_a_charge_model": (
        "nep4_charge1", lambda m: m.find_force([0, 1], np.zeros((2, 3)), 6.0 * np.eye(3)),
        "unsupported: charge models require qrvl_find_charge_batch"),
}


@pytest.mark.parametrize("family, call, message", FLAT_REFUSALS.values(), ids=FLAT_REFUSALS.keys())
def test_flat_refusals_raise_runtime_error_with_the_reason(load, family, call, message):
    with pytest.raises(RuntimeError, match=exactly(message)):
        call(load(family))


@pytest.mark.parametrize(
    "call",
    [lambda m: m.calculate(**batch()), lambda m: m.find_force([0, 1], np.zeros((2, 3)), 6.0 * np.eye(3)),
     lambda m: m.descriptors(**batch())],
    ids=["calculate", "find_force", "descriptors"],
)
def test_a_spin_model_without_spins_is_an_invalid_argument(spin, call):
    expect_engine_invalid_argument(lambda: call(spin))


def with_nan(array, index):
    changed = np.array(array, dtype=np.float64)
    changed[index] = np.nan
    return changed


# Non-finite input is refused by the engine before any device work, with the place of the defect in the text.
NON_FINITE_REFUSALS = {
    "calculate_position": (
        "nep4", lambda m: m.calculate(**batch(positions=with_nan(batch()["positions"], (3, 1)))),
        "invalid argument: atom 3 has a non-finite position"),
    "calculate_cell": (
        "nep4", lambda m: m.calculate(**batch(boxes=with_nan(batch()["boxes"], (1, 4)))),
        "invalid argument: structure 1 has a non-finite cell"),
    "calculate_charge_position": (
        "nep4_charge1", lambda m: m.calculate_charge(**batch(positions=with_nan(batch()["positions"], (4, 0)))),
        "invalid argument: atom 4 has a non-finite position"),
    "descriptors_position": (
        "nep4", lambda m: m.descriptors(**batch(positions=with_nan(batch()["positions"], (0, 2)))),
        "invalid argument: atom 0 has a non-finite position"),
    "calculate_spin_spin": (
        "nep4_spin", lambda m: m.calculate_spin(**batch(), spins=with_nan(spins(), (2, 0))),
        "invalid argument: atom 2 has a non-finite spin"),
    "find_force_position": (
        "nep4", lambda m: m.find_force(**one_structure(positions=with_nan(one_structure()["positions"], (1, 1)))),
        "invalid argument: atom 1 has a non-finite position"),
}


@pytest.mark.parametrize("family, call, message", NON_FINITE_REFUSALS.values(), ids=NON_FINITE_REFUSALS.keys())
def test_non_finite_input_is_an_invalid_argument_naming_its_place(load, family, call, message):
    with pytest.raises(ValueError, match=exactly(message)):
        call(load(family))


# Unit slips: a structure far denser than the model's 125 radial neighbor slots can hold, refused before any
# replication or device work, as a runtime error naming the structure, its mean neighbor count and the unit.
UNIT_SLIPS = {
    "one_atom_in_a_0_01_angstrom_cube": (np.zeros((1, 3)), 0.01, "5.24e+08"),
    "one_atom_in_a_0_2_angstrom_cube": (np.full((1, 3), 0.1), 0.2, "6.54e+04"),
    "ordinary_density_in_nanometres": (0.25 * np.indices((4, 4, 4)).reshape(3, -1).T, 1.0, "3.35e+04"),
    "fractional_coordinates_in_an_identity_cell": (np.random.default_rng(3).random((40, 3)), 1.0, "2.09e+04"),
}

SLIP_CALLS = {
    "calculate": ("nep4", lambda m, b: m.calculate(**b)),
    "calculate_charge": ("nep4_charge1", lambda m, b: m.calculate_charge(**b)),
    "descriptors": ("nep4", lambda m, b: m.descriptors(**b)),
}


def after_an_ordinary_structure(positions, edge):
    """The first structure of the valid batch, then the slipped one in a cube of `edge`, types alternating."""
    first = two_structures()
    count = len(positions)
    return dict(types=np.concatenate([first["types"][:3], np.arange(count) % 2]),
                boxes=np.array([first["boxes"][0], edge * np.eye(3).ravel()]),
                positions=np.vstack([first["positions"][:3], positions]),
                atom_counts=np.array([3, count], dtype=np.int32))


def density_refusal(structure, estimate):
    return exactly(f"runtime error: structure {structure} averages about {estimate} radial neighbors per atom, more "
                   "than ten times the model's capacity of 125; positions and cells are in Angstrom")


@pytest.mark.parametrize("family, call", SLIP_CALLS.values(), ids=SLIP_CALLS.keys())
@pytest.mark.parametrize("positions, edge, estimate", UNIT_SLIPS.values(), ids=UNIT_SLIPS.keys())
def test_a_unit_slip_is_refused_at_once_naming_the_structure(load, family, call, positions, edge, estimate):
    with pytest.raises(RuntimeError, match=density_refusal(1, estimate)):
        call(load(family), after_an_ordinary_structure(positions, edge))


@pytest.mark.parametrize("positions, edge, estimate", UNIT_SLIPS.values(), ids=UNIT_SLIPS.keys())
def test_find_force_refuses_a_unit_slip_at_once(ordinary, positions, edge, estimate):
    with pytest.raises(RuntimeError, match=density_refusal(0, estimate)):
        ordinary.find_force(np.arange(len(positions)) % 2, positions, edge * np.eye(3))


FIND_FORCE_REFUSALS = {
    "pbc_none": (dict(pbc=None), "pbc defaults to (1,1,1); omit it instead of passing None"),
    "pbc_four_values": (dict(pbc=(1, 1, 1, 1)), "pbc must contain 3 values"),
    "pbc_open": (dict(pbc=[[1], [0], [1]]), "Quarvel supports fully periodic structures only (pbc=[1,1,1])"),
    "pbc_before_types": (dict(pbc=(0, 1, 1), types=np.zeros((3, 1))),
                         "Quarvel supports fully periodic structures only (pbc=[1,1,1])"),
    "types_2d": (dict(types=np.zeros((3, 1))), "types must be a 1D int32 array"),
    "positions_four_columns": (dict(positions=np.zeros((3, 4))), "positions must have shape (natoms, 3)"),
    "box_eight_values": (dict(box=np.ones(8)), "box must contain 9 values"),
    "box_before_count_mismatch": (dict(box=np.ones(10), types=[0, 1]), "box must contain 9 values"),
    "count_mismatch": (dict(types=[0, 1]), "types and positions atom counts differ"),
}


def one_structure(**changes):
    arguments = dict(types=[0, 1, 1], positions=[[0.0, 0.0, 0.0], [1.1, 0.0, 0.2], [0.1, 1.2, 0.0]],
                     box=6.0 * np.eye(3))
    arguments.update(changes)
    return arguments


@pytest.mark.parametrize("changes, message", FIND_FORCE_REFUSALS.values(), ids=FIND_FORCE_REFUSALS.keys())
def test_find_force_refuses_bad_structures(ordinary, changes, message):
    with pytest.raises(ValueError, match=exactly(message)):
        ordinary.find_force(**one_structure(**changes))


@pytest.mark.parametrize(
    "changes",
    [dict(), dict(box=6.0 * np.eye(3).ravel()), dict(pbc=np.ones((3, 1))), dict(box=[[6, 0, 0], [0, 6, 0], [0, 0, 6]])],
    ids=["box_3x3", "box_flat", "pbc_column", "box_nested_lists"],
)
def test_find_force_takes_one_structure(ordinary, changes):
    energy, forces, virial = ordinary.find_force(**one_structure(**changes))
    assert isinstance(energy, float)
    check_arrays((forces, virial), [(3, 3), (9,)])


def test_find_force_takes_positions_before_the_box(ordinary):
    arguments = one_structure()
    with pytest.raises(ValueError, match=exactly("positions must have shape (natoms, 3)")):
        ordinary.find_force(arguments["types"], arguments["box"].ravel(), arguments["positions"])


def test_an_empty_structure_passes_the_checks_and_is_refused_by_the_engine(ordinary):
    expect_engine_invalid_argument(lambda: ordinary.find_force(np.zeros(0), np.zeros((0, 3)), 6.0 * np.eye(3)))


def test_arguments_that_cannot_be_converted_raise_type_error(ordinary):
    with pytest.raises(TypeError):
        ordinary.calculate(types=["C", "H"], boxes=np.eye(3), positions=np.zeros((2, 3)), atom_counts=[2])
    with pytest.raises(TypeError):
        ordinary.calculate_dftd3(**batch(), functional=3, cutoff=12.0, cutoff_cn=8.0)
    with pytest.raises(TypeError):
        ordinary.calculate(**batch(), spins=spins())


def test_numpy_conversion_errors_of_pbc_propagate_unchanged(ordinary):
    with pytest.raises(ValueError, match="invalid literal"):
        ordinary.calculate(**batch(pbc="periodic"))


def test_descriptors_of_a_batch_are_those_of_its_structures_alone(ordinary):
    arguments = two_structures()
    rows = ordinary.descriptors(**arguments)
    check_arrays(rows, [(N_ATOMS, DESCRIPTOR_DIM["nep4"])])
    assert np.all(np.isfinite(rows)) and np.any(rows != 0.0)
    alone = [
        ordinary.descriptors(types=arguments["types"][first:last], boxes=arguments["boxes"][s],
                             positions=arguments["positions"][first:last], atom_counts=[last - first])
        for s, (first, last) in enumerate([(0, 3), (3, 5)])
    ]
    # Float descriptor sums whose neighbors may be visited in another order.
    np.testing.assert_allclose(rows, np.vstack(alone), rtol=2e-5, atol=1e-6)
    shifted = ordinary.descriptors(**batch(positions=arguments["positions"] + np.array([0.3, -1.1, 2.0])))
    np.testing.assert_allclose(shifted, rows, rtol=2e-5, atol=1e-6)

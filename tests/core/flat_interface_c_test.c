/* A C99 caller of the flat interface: fills every record by field name and calls every flat function, against
 * the fake engine of the tests (model paths as in tests/support/fake_engine.hpp). Exits non-zero on a mismatch. */

#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "quarvel/quarvel.h"
#include "support/fake_engine_c.h"

static int failures = 0;

static void expect_int(const char* what, long long actual, long long expected) {
  if (actual != expected) {
    fprintf(stderr, "%s: got %lld, expected %lld\n", what, actual, expected);
    ++failures;
  }
}

static void expect_text(const char* what, const char* actual, const char* expected) {
  if (actual == NULL || strcmp(actual, expected) != 0) {
    fprintf(stderr, "%s: got \"%s\", expected \"%s\"\n", what, actual == NULL ? "(null)" : actual, expected);
    ++failures;
  }
}

/* Field order is part of the interface: C callers compiled against an older header must keep working. */
static void check_layout(void) {
  expect_int("QrvlStructureBatch.atom_counts", (long long)offsetof(QrvlStructureBatch, atom_counts), 8);
  expect_int("QrvlStructureBatch.pbc", (long long)offsetof(QrvlStructureBatch, pbc), 56);
  expect_int("QrvlFindForceResult.spin_transfer", (long long)offsetof(QrvlFindForceResult, spin_transfer), 64);
  expect_int("QrvlEvaluateResult.descriptors", (long long)offsetof(QrvlEvaluateResult, descriptors), 72);
  expect_int("QrvlDftd3Parameters.cutoff_cn", (long long)offsetof(QrvlDftd3Parameters, cutoff_cn), 16);
  expect_int("QrvlDftd3Result.virial_per_atom", (long long)offsetof(QrvlDftd3Result, virial_per_atom), 32);
  expect_int("QrvlModelInfo.capabilities", (long long)offsetof(QrvlModelInfo, capabilities), 24);
  expect_int("QrvlModelInfo.descriptor_dim", (long long)offsetof(QrvlModelInfo, descriptor_dim), 36);
  expect_int("QrvlWorkspaceEstimate.structure_capacity",
             (long long)offsetof(QrvlWorkspaceEstimate, structure_capacity), 28);
  expect_int("QrvlBackendInfo.capabilities", (long long)offsetof(QrvlBackendInfo, capabilities), 16);
  expect_int("QrvlLammpsNeighborInput.spins", (long long)offsetof(QrvlLammpsNeighborInput, spins), 56);
  expect_int("QrvlLammpsNeighborResult.spin_transfer", (long long)offsetof(QrvlLammpsNeighborResult, spin_transfer),
             48);
  expect_int("QrvlLammpsDeviceNeighborInput.reserved", (long long)offsetof(QrvlLammpsDeviceNeighborInput, reserved),
             48);
  expect_int("QrvlLammpsDeviceNeighborInput.spin_component_stride",
             (long long)offsetof(QrvlLammpsDeviceNeighborInput, spin_component_stride), 116);
  expect_int("QrvlLammpsDeviceNeighborResult.force_atom_stride",
             (long long)offsetof(QrvlLammpsDeviceNeighborResult, force_atom_stride), 32);
  expect_int("QrvlLammpsDeviceNeighborResult.spin_transfer_component_stride",
             (long long)offsetof(QrvlLammpsDeviceNeighborResult, spin_transfer_component_stride), 84);
}

static void check_texts(void) {
  static const char* const texts[] = {"ok", "invalid argument", "unsupported", "backend unavailable",
                                      "runtime error", "cancelled"};
  int status;
  expect_int("qrvl_api_version", qrvl_api_version(), QRVL_API_VERSION);
  for (status = QRVL_STATUS_OK; status <= QRVL_STATUS_CANCELLED; ++status) {
    expect_text("qrvl_status_message", qrvl_status_message(status), texts[status]);
  }
  expect_text("qrvl_status_message(-1)", qrvl_status_message(-1), "unknown status");
  expect_text("qrvl_status_message(6)", qrvl_status_message(6), "unknown status");
}

static void check_registry(void) {
  QrvlBackendInfo info = {.name = NULL, .version = NULL, .capabilities = 0};
  QrvlModel* model = NULL;
  expect_int("qrvl_backend_count before registration", qrvl_backend_count(), 0);
  expect_int("qrvl_backend_info on an empty registry", qrvl_backend_info(0, &info), QRVL_STATUS_BACKEND_UNAVAILABLE);
  expect_int("qrvl_load_model on an empty registry", qrvl_load_model("fake", "ordinary", &model),
             QRVL_STATUS_BACKEND_UNAVAILABLE);
  expect_text("last error of an unknown backend", qrvl_last_error_message(), "");

  quarvel_test_register_fake_engine();
  expect_int("qrvl_backend_count", qrvl_backend_count(), 1);
  expect_int("qrvl_backend_info", qrvl_backend_info(0, &info), QRVL_STATUS_OK);
  expect_text("engine name", info.name, "fake");
  expect_int("qrvl_backend_info(null)", qrvl_backend_info(0, NULL), QRVL_STATUS_INVALID_ARGUMENT);
  expect_int("qrvl_load_model(null path)", qrvl_load_model("fake", NULL, &model), QRVL_STATUS_INVALID_ARGUMENT);
  expect_int("qrvl_load_model(refused)", qrvl_load_model("fake", "refused", &model), QRVL_STATUS_UNSUPPORTED);
  expect_int("refused model handle", model == NULL, 1);
  expect_text("refusal text", qrvl_last_error_message(), "fake engine refuses the model");
}

/* Runs every operation on a model of `kind_path` and checks each status against `expected`, in call order. */
static void check_operations(const char* kind_path, const int expected[16]) {
  const int32_t atom_counts[1] = {2};
  const int32_t atom_offsets[1] = {0};
  const int32_t types[2] = {0, 1};
  const double positions[6] = {0.0, 0.0, 0.0, 1.5, 1.5, 1.5};
  const double spins[6] = {0.0, 0.0, 1.0, 0.0, 0.0, 1.0};
  const double boxes[9] = {3.0, 0.0, 0.0, 0.0, 3.0, 0.0, 0.0, 0.0, 3.0};
  const int32_t pbc[3] = {1, 1, 1};
  const QrvlStructureBatch batch = {.num_structures = 1, .num_atoms = 2, .atom_counts = atom_counts,
                                    .atom_offsets = atom_offsets, .types = types, .positions = positions,
                                    .spins = spins, .boxes = boxes, .pbc = pbc};
  double out[256];
  double* rows[2] = {out + 200, out + 210};
  const int32_t ilist[2] = {0, 1};
  const int32_t numneigh[2] = {1, 1};
  const int32_t neighbors_of_0[1] = {1};
  const int32_t neighbors_of_1[1] = {0};
  const int32_t* firstneigh[2] = {neighbors_of_0, neighbors_of_1};
  const int32_t type_map[3] = {-1, 0, 1};
  const double* position_rows[2] = {positions, positions + 3};
  const double spin_values[8] = {0.0, 0.0, 1.0, 1.0, 0.0, 0.0, 1.0, 1.0};
  const double* spin_rows[2] = {spin_values, spin_values + 4};
  QrvlFindForceResult force = {.energy = out, .potential = out + 1, .force = out + 3, .virial = out + 9,
                               .virial_per_atom = out + 18, .charge = out + 36, .bec = out + 38,
                               .mforce = out + 56, .spin_transfer = out + 62};
  QrvlEvaluateResult evaluate = {.energy = out, .potential = out + 1, .force = out + 3, .virial = out + 9,
                                 .virial_per_atom = out + 18, .charge = out + 36, .bec = out + 38,
                                 .mforce = out + 56, .spin_transfer = out + 62, .descriptors = out + 80};
  QrvlFindDescriptorResult descriptors = {.descriptors = out + 80};
  QrvlDipoleResult dipoles = {.dipoles = out + 100};
  QrvlPolarizabilityResult polarizabilities = {.polarizabilities = out + 110};
  const QrvlDftd3Parameters dftd3_parameters = {.functional = "pbe", .cutoff = 12.0, .cutoff_cn = 8.0};
  QrvlDftd3Result dftd3 = {.energy = out, .potential = out + 1, .force = out + 3, .virial = out + 9,
                           .virial_per_atom = out + 18};
  const QrvlLammpsNeighborInput lammps_input = {.nlocal = 2, .inum = 2, .ilist = ilist, .numneigh = numneigh,
                                                .firstneigh = firstneigh, .types = types, .type_map = type_map,
                                                .positions = position_rows, .spins = spin_rows};
  QrvlLammpsNeighborResult lammps = {.energy = out, .virial = out + 1, .potential = out + 7, .force = rows,
                                     .mforce = rows, .virial_per_atom = rows, .spin_transfer = rows};
  const QrvlLammpsDeviceNeighborInput device_input = {
      .nlocal = 2, .nall = 2, .inum = 2, .max_neighbors = 1, .neighbor_rows = 2, .numneigh_length = 2,
      .ilist = ilist, .numneigh = numneigh, .neighbors = neighbors_of_0, .reserved = NULL,
      .neighbor_atom_stride = 1, .neighbor_slot_stride = 2, .types = types, .type_map = type_map,
      .type_map_length = 3, .positions = positions, .position_atom_stride = 3, .position_component_stride = 1,
      .spins = spin_values, .spin_atom_stride = 4, .spin_component_stride = 1};
  QrvlLammpsDeviceNeighborResult device_result = {
      .energy = out, .virial = out + 1, .potential = out + 7, .force = out + 9, .force_atom_stride = 3,
      .force_component_stride = 1, .mforce = out + 15, .mforce_atom_stride = 3, .mforce_component_stride = 1,
      .virial_per_atom = out + 21, .virial_atom_stride = 9, .virial_component_stride = 1,
      .spin_transfer = out + 39, .spin_transfer_atom_stride = 9, .spin_transfer_component_stride = 1};
  QrvlModelInfo info = {.cutoff_radial = 0.0, .cutoff_angular = 0.0, .cutoff_max = 0.0, .capabilities = 0,
                        .num_types = 0, .descriptor_dim = 0};
  QrvlWorkspaceEstimate estimate = {.model_bytes = 0, .workspace_bytes = 0, .total_bytes = 0, .atom_capacity = 0,
                                    .structure_capacity = 0};
  int32_t kind = -1;
  QrvlModel* model = NULL;
  int step = 0;

  expect_int(kind_path, qrvl_load_model("fake", kind_path, &model), QRVL_STATUS_OK);
  expect_int("qrvl_model_info", qrvl_model_info(model, &info), expected[step++]);
  expect_int("qrvl_model_kind", qrvl_model_kind(model, &kind), expected[step++]);
  expect_int("qrvl_estimate_workspace", qrvl_estimate_workspace(model, 16, 1, &estimate), expected[step++]);
  expect_int("qrvl_find_force_batch", qrvl_find_force_batch(model, &batch, &force), expected[step++]);
  expect_int("qrvl_evaluate_batch", qrvl_evaluate_batch(model, &batch, &evaluate), expected[step++]);
  expect_int("qrvl_find_charge_batch", qrvl_find_charge_batch(model, &batch, &force), expected[step++]);
  expect_int("qrvl_find_descriptors", qrvl_find_descriptors(model, &batch, &descriptors), expected[step++]);
  expect_int("qrvl_find_dipoles", qrvl_find_dipoles(model, &batch, &dipoles), expected[step++]);
  expect_int("qrvl_find_polarizabilities", qrvl_find_polarizabilities(model, &batch, &polarizabilities),
             expected[step++]);
  expect_int("qrvl_compute_dftd3_batch", qrvl_compute_dftd3_batch(model, &batch, &dftd3_parameters, &dftd3),
             expected[step++]);
  expect_int("qrvl_compute_with_dftd3_batch",
             qrvl_compute_with_dftd3_batch(model, &batch, &dftd3_parameters, &dftd3), expected[step++]);
  expect_int("qrvl_find_force_lammps_neighbors", qrvl_find_force_lammps_neighbors(model, &lammps_input, &lammps),
             expected[step++]);
  expect_int("qrvl_find_force_lammps_device_neighbors",
             qrvl_find_force_lammps_device_neighbors(model, &device_input, &device_result), expected[step++]);
  expect_int("qrvl_cancel_model", qrvl_cancel_model(model), expected[step++]);
  expect_int("cancelled qrvl_find_force_batch", qrvl_find_force_batch(model, &batch, &force), expected[step++]);
  expect_int("qrvl_reset_cancel", qrvl_reset_cancel(model), expected[step++]);
  qrvl_free_model(model);
}

int main(void) {
  /* Statuses in the order check_operations calls the functions. */
  const int ordinary[16] = {QRVL_STATUS_OK,          QRVL_STATUS_OK,          QRVL_STATUS_OK,
                            QRVL_STATUS_OK,          QRVL_STATUS_OK,          QRVL_STATUS_UNSUPPORTED,
                            QRVL_STATUS_OK,          QRVL_STATUS_UNSUPPORTED, QRVL_STATUS_UNSUPPORTED,
                            QRVL_STATUS_OK,          QRVL_STATUS_OK,          QRVL_STATUS_OK,
                            QRVL_STATUS_OK,          QRVL_STATUS_OK,          QRVL_STATUS_CANCELLED,
                            QRVL_STATUS_OK};
  const int charge[16] = {QRVL_STATUS_OK,          QRVL_STATUS_OK,          QRVL_STATUS_OK,
                          QRVL_STATUS_UNSUPPORTED, QRVL_STATUS_UNSUPPORTED, QRVL_STATUS_OK,
                          QRVL_STATUS_OK,          QRVL_STATUS_UNSUPPORTED, QRVL_STATUS_UNSUPPORTED,
                          QRVL_STATUS_UNSUPPORTED, QRVL_STATUS_UNSUPPORTED, QRVL_STATUS_OK,
                          QRVL_STATUS_OK,          QRVL_STATUS_OK,          QRVL_STATUS_UNSUPPORTED,
                          QRVL_STATUS_OK};
  const int minimal[16] = {QRVL_STATUS_UNSUPPORTED, QRVL_STATUS_OK,          QRVL_STATUS_UNSUPPORTED,
                           QRVL_STATUS_OK,          QRVL_STATUS_UNSUPPORTED, QRVL_STATUS_UNSUPPORTED,
                           QRVL_STATUS_UNSUPPORTED, QRVL_STATUS_UNSUPPORTED, QRVL_STATUS_UNSUPPORTED,
                           QRVL_STATUS_UNSUPPORTED, QRVL_STATUS_UNSUPPORTED, QRVL_STATUS_UNSUPPORTED,
                           QRVL_STATUS_UNSUPPORTED, QRVL_STATUS_OK,          QRVL_STATUS_OK,
                           QRVL_STATUS_OK};

  check_layout();
  check_texts();
  check_registry();
  check_operations("ordinary", ordinary);
  check_operations("charge", charge);
  check_operations("minimal", minimal);
  expect_int("qrvl_cancel_model(null)", qrvl_cancel_model(NULL), QRVL_STATUS_INVALID_ARGUMENT);
  qrvl_free_model(NULL);
  if (failures != 0) {
    fprintf(stderr, "%d mismatches\n", failures);
    return 1;
  }
  printf("flat interface from C: all checks passed\n");
  return 0;
}

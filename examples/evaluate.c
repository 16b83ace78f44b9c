/* Energies, forces and virials through the flat C interface: one periodic structure, then a batch of two
 * (the structures of evaluate.py).
 *
 * Usage: evaluate_c MODEL   (`python examples/evaluate.py` writes a small model when given none) */
#include <stdio.h>
#include <stdlib.h>

#include "quarvel/quarvel.h"

enum { kAtoms0 = 6, kAtoms1 = 4, kAtoms = kAtoms0 + kAtoms1, kStructures = 2 };

/* The order of the element symbols in the model file's first line gives the types: Si is 0, O is 1. */
static const char* const kElements[] = {"Si", "O"};
static const int32_t kTypes[kAtoms] = {0, 0, 1, 1, 1, 1, /* structure 1: */ 0, 1, 1, 0};
/* Cell vectors as rows (Angstrom), and fractional positions. */
static const double kCells[kStructures][3][3] = {{{5.2, 0.0, 0.0}, {1.1, 5.0, 0.0}, {0.6, 0.9, 5.4}},
                                                 {{4.6, 0.0, 0.0}, {0.0, 4.6, 0.0}, {0.0, 0.0, 4.6}}};
static const double kFractional[kAtoms][3] = {
    {0.0, 0.0, 0.0}, {0.5, 0.5, 0.5},  {0.25, 0.1, 0.3},  {0.75, 0.6, 0.2},  {0.3, 0.7, 0.8},
    {0.8, 0.2, 0.65}, {0.1, 0.1, 0.1}, {0.35, 0.4, 0.2}, {0.6, 0.15, 0.45}, {0.55, 0.6, 0.6}};

/* Ends the program with the status text and the reason the library gives. */
static void check(int status, const char* call) {
  if (status == QRVL_STATUS_OK) return;
  fprintf(stderr, "%s: %s: %s\n", call, qrvl_status_message(status), qrvl_last_error_message());
  exit(EXIT_FAILURE);
}

static void report(const char* title, int first_atom, int count, double energy, const double* forces,
                   const double* virial) {
  printf("%s: %d atoms\n  energy: %.8f eV\n  virial (xx xy xz yx yy yz zx zy zz):", title, count, energy);
  for (int k = 0; k < 9; ++k) printf(" %.8f", virial[k]);
  printf(" eV\n");
  for (int i = 0; i < count; ++i) {
    const double* f = forces + 3 * (first_atom + i);
    printf("  force on atom %d (%s): %.8f %.8f %.8f eV/Angstrom\n", i, kElements[kTypes[first_atom + i]], f[0],
           f[1], f[2]);
  }
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s MODEL\n", argv[0]);
    return EXIT_FAILURE;
  }
  const int32_t atom_counts[kStructures] = {kAtoms0, kAtoms1};
  const int32_t atom_offsets[kStructures] = {0, kAtoms0};
  const int32_t pbc[3 * kStructures] = {1, 1, 1, 1, 1, 1};  /* only fully periodic structures are accepted */
  double positions[3 * kAtoms];
  double boxes[9 * kStructures];
  for (int s = 0; s < kStructures; ++s) {
    for (int a = 0; a < 3; ++a) {
      for (int b = 0; b < 3; ++b) boxes[9 * s + 3 * a + b] = kCells[s][b][a]; /* row-major, cell vectors as columns */
    }
    for (int i = atom_offsets[s]; i < atom_offsets[s] + atom_counts[s]; ++i) {
      for (int a = 0; a < 3; ++a) {
        positions[3 * i + a] = 0.0;
        for (int b = 0; b < 3; ++b) positions[3 * i + a] += kFractional[i][b] * kCells[s][b][a];
      }
    }
  }

  if (qrvl_register_cuda_engine() != 1) {
    fprintf(stderr, "the cuda engine could not be registered\n");
    return EXIT_FAILURE;
  }
  QrvlModel* model = NULL;
  check(qrvl_load_model("cuda", argv[1], &model), "qrvl_load_model");

  QrvlStructureBatch batch = {.num_structures = 1, /* structure 0 alone */
                              .num_atoms = kAtoms0,
                              .atom_counts = atom_counts,
                              .atom_offsets = atom_offsets,
                              .types = kTypes,
                              .positions = positions,
                              .boxes = boxes,
                              .pbc = pbc};
  double energy[kStructures];
  double forces[3 * kAtoms];
  double virial[9 * kStructures];
  /* Energy, forces and virial of each structure; the slots left NULL are not computed. */
  QrvlFindForceResult result = {.energy = energy, .force = forces, .virial = virial};
  check(qrvl_find_force_batch(model, &batch, &result), "qrvl_find_force_batch");
  report("structure 0 alone (qrvl_find_force_batch)", 0, kAtoms0, energy[0], forces, virial);

  batch.num_structures = kStructures;
  batch.num_atoms = kAtoms;
  check(qrvl_find_force_batch(model, &batch, &result), "qrvl_find_force_batch");
  for (int s = 0; s < kStructures; ++s) {
    char title[64];
    snprintf(title, sizeof title, "structure %d in a batch of %d (qrvl_find_force_batch)", s, kStructures);
    report(title, atom_offsets[s], atom_counts[s], energy[s], forces, virial + 9 * s);
  }

  qrvl_free_model(model);
  return EXIT_SUCCESS;
}

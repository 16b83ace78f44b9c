/* Energies, forces and virials through the flat C interface: one periodic structure, then a batch of two
 * (the structures of evaluate.py, in example_support.c).
 *
 * Usage: evaluate_c MODEL   (`python examples/evaluate.py` writes a small model when given none) */
#include <stdio.h>
#include <stdlib.h>

#include "example_support.h"
#include "quarvel/quarvel.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s MODEL\n", argv[0]);
    return EXIT_FAILURE;
  }
  const int32_t pbc[3 * kStructures] = {1, 1, 1, 1, 1, 1}; /* only fully periodic structures are accepted */
  double positions[3 * kAtoms];
  double boxes[9 * kStructures];
  for (int s = 0; s < kStructures; ++s) {
    for (int a = 0; a < 3; ++a) {
      for (int b = 0; b < 3; ++b) boxes[9 * s + 3 * a + b] = kCells[s][b][a]; /* row-major, cell vectors as columns */
    }
    for (int i = kAtomOffsets[s]; i < kAtomOffsets[s] + kAtomCounts[s]; ++i) cartesian_position(s, i, positions + 3 * i);
  }

  if (qrvl_register_cuda_engine() != 1) {
    fprintf(stderr, "the cuda engine could not be registered\n");
    return EXIT_FAILURE;
  }
  QrvlModel* model = NULL;
  check(qrvl_load_model("cuda", argv[1], &model), "qrvl_load_model");

  QrvlStructureBatch batch = {.num_structures = 1, /* structure 0 alone */
                              .num_atoms = kAtoms0,
                              .atom_counts = kAtomCounts,
                              .atom_offsets = kAtomOffsets,
                              .types = kTypes,
                              .positions = positions,
                              .boxes = boxes,
                              .pbc = pbc};
  double energy[kStructures];
  double forces[3 * kAtoms];
  double virial[9 * kStructures];
  /* Energy, forces and virial of each structure; the slots left NULL are not computed. */
  QrvlFindForceResult result = {.energy = energy, .force = forces, .virial = virial};
  static const char kVirialOrder[] = "xx xy xz yx yy yz zx zy zz";
  check(qrvl_find_force_batch(model, &batch, &result), "qrvl_find_force_batch");
  print_structure("structure 0 alone (qrvl_find_force_batch)", 0, energy[0], kVirialOrder, virial, 9, forces);

  batch.num_structures = kStructures;
  batch.num_atoms = kAtoms;
  check(qrvl_find_force_batch(model, &batch, &result), "qrvl_find_force_batch");
  for (int s = 0; s < kStructures; ++s) {
    char title[64];
    snprintf(title, sizeof title, "structure %d in a batch of %d (qrvl_find_force_batch)", s, kStructures);
    print_structure(title, s, energy[s], kVirialOrder, virial + 9 * s, 9, forces + 3 * kAtomOffsets[s]);
  }

  qrvl_free_model(model);
  return EXIT_SUCCESS;
}

/* Forces on a LAMMPS full neighbor list in host memory (qrvl_find_force_lammps_neighbors), built as LAMMPS builds
 * it for a pair style with newton on: atoms 0 .. nlocal-1 are the local atoms of one periodic structure, the ghost
 * atoms after them are its periodic images within cutoff + skin, only local atoms have neighbor rows, and the
 * forces the library hands back in ghost rows are added onto the atoms they image (LAMMPS's reverse
 * communication). Each structure of evaluate.py in turn.
 *
 * Usage: lammps_host_list MODEL   (`python examples/evaluate.py` writes a small model when given none) */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include "example_support.h"
#include "quarvel/quarvel.h"

enum {
  kImageRange = 3,                              /* cell vectors each way: reaches every image in range here */
  kMaxLocal = kAtoms0,                          /* the larger structure */
  kMaxAtoms = kMaxLocal * (2 * kImageRange + 1) * (2 * kImageRange + 1) * (2 * kImageRange + 1)
};
static const double kSkin = 2.0; /* Angstrom: LAMMPS's default skin in metal units */

/* One rank's atoms, local first, and the full neighbor rows of the local atoms. */
typedef struct {
  int nlocal;
  int nall;
  double positions[kMaxAtoms][3];
  int32_t types[kMaxAtoms]; /* LAMMPS types, 1-based */
  int owner[kMaxAtoms];     /* the local atom each atom images */
  int32_t numneigh[kMaxAtoms];
  int32_t rows[kMaxLocal][kMaxAtoms];
} AtomList;

static double distance(const double a[3], const double b[3]) {
  return sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]));
}

static void add_atom(AtomList* list, const double position[3], int owner) {
  for (int c = 0; c < 3; ++c) list->positions[list->nall][c] = position[c];
  list->types[list->nall] = list->types[owner];
  list->owner[list->nall] = owner;
  list->numneigh[list->nall] = 0;
  ++list->nall;
}

/* The local atoms of `structure`, their images within `list_cutoff` of some local atom as ghosts, and for each
 * local atom every other atom closer than `list_cutoff`. */
static void build_list(int structure, double list_cutoff, AtomList* list) {
  const int first = kAtomOffsets[structure];
  list->nlocal = kAtomCounts[structure];
  list->nall = 0;
  for (int i = 0; i < list->nlocal; ++i) {
    double position[3];
    cartesian_position(structure, first + i, position);
    list->types[i] = kTypes[first + i] + 1;
    add_atom(list, position, i);
  }
  for (int a = -kImageRange; a <= kImageRange; ++a) {
    for (int b = -kImageRange; b <= kImageRange; ++b) {
      for (int c = -kImageRange; c <= kImageRange; ++c) {
        if (a == 0 && b == 0 && c == 0) continue;
        for (int i = 0; i < list->nlocal; ++i) {
          double image[3];
          for (int k = 0; k < 3; ++k) {
            image[k] = list->positions[i][k] + a * kCells[structure][0][k] + b * kCells[structure][1][k] +
                       c * kCells[structure][2][k];
          }
          int near = 0;
          for (int j = 0; j < list->nlocal; ++j) near = near || distance(image, list->positions[j]) < list_cutoff;
          if (near) add_atom(list, image, i);
        }
      }
    }
  }
  for (int i = 0; i < list->nlocal; ++i) {
    for (int j = 0; j < list->nall; ++j) {
      if (j != i && distance(list->positions[i], list->positions[j]) < list_cutoff) {
        list->rows[i][list->numneigh[i]++] = j; /* LAMMPS may set flags in the top two bits; the library masks them */
      }
    }
  }
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s MODEL\n", argv[0]);
    return EXIT_FAILURE;
  }
  if (qrvl_register_cuda_engine() != 1) {
    fprintf(stderr, "the cuda engine could not be registered\n");
    return EXIT_FAILURE;
  }
  QrvlModel* model = NULL;
  check(qrvl_load_model("cuda", argv[1], &model), "qrvl_load_model");
  QrvlModelInfo info;
  check(qrvl_model_info(model, &info), "qrvl_model_info");

  static AtomList list;
  static int32_t ilist[kMaxLocal];
  static const int32_t* firstneigh[kMaxAtoms];
  static const double* position_rows[kMaxAtoms];
  static double forces[kMaxAtoms][3];
  static double* force_rows[kMaxAtoms];
  static const int32_t type_map[] = {-1, 0, 1}; /* LAMMPS type -> model type; LAMMPS types start at 1 */
  for (int s = 0; s < kStructures; ++s) {
    build_list(s, info.cutoff_max + kSkin, &list);
    for (int i = 0; i < list.nall; ++i) {
      if (i < list.nlocal) ilist[i] = i;
      firstneigh[i] = i < list.nlocal ? list.rows[i] : NULL; /* ghosts have no rows */
      position_rows[i] = list.positions[i];
      force_rows[i] = forces[i];
    }
    const QrvlLammpsNeighborInput input = {.nlocal = list.nlocal,
                                           .inum = list.nlocal,
                                           .ilist = ilist,
                                           .numneigh = list.numneigh,
                                           .firstneigh = firstneigh,
                                           .types = list.types,
                                           .type_map = type_map,
                                           .positions = position_rows};
    double energy = 0.0;
    double virial[6]; /* xx, yy, zz, xy, xz, yz */
    /* Force rows of every atom, local and ghost; energy and virial totals; per-atom outputs left NULL. */
    QrvlLammpsNeighborResult result = {.energy = &energy, .virial = virial, .force = force_rows};
    check(qrvl_find_force_lammps_neighbors(model, &input, &result), "qrvl_find_force_lammps_neighbors");
    for (int g = list.nlocal; g < list.nall; ++g) {
      for (int c = 0; c < 3; ++c) forces[list.owner[g]][c] += forces[g][c];
    }

    char title[96];
    snprintf(title, sizeof title, "structure %d from a LAMMPS full list of %d atoms (qrvl_find_force_lammps_neighbors)",
             s, list.nall);
    print_structure(title, s, energy, "xx yy zz xy xz yz", virial, 6, &forces[0][0]);
  }

  qrvl_free_model(model);
  return EXIT_SUCCESS;
}

#include "example_support.h"

#include <stdio.h>
#include <stdlib.h>

#include "quarvel/quarvel.h"

const char* const kElements[] = {"Si", "O"};
const int32_t kTypes[kAtoms] = {0, 0, 1, 1, 1, 1, /* structure 1: */ 0, 1, 1, 0};
const int32_t kAtomCounts[kStructures] = {kAtoms0, kAtoms1};
const int32_t kAtomOffsets[kStructures] = {0, kAtoms0};
const double kCells[kStructures][3][3] = {{{5.2, 0.0, 0.0}, {1.1, 5.0, 0.0}, {0.6, 0.9, 5.4}},
                                          {{4.6, 0.0, 0.0}, {0.0, 4.6, 0.0}, {0.0, 0.0, 4.6}}};
const double kFractional[kAtoms][3] = {
    {0.0, 0.0, 0.0},  {0.5, 0.5, 0.5}, {0.25, 0.1, 0.3}, {0.75, 0.6, 0.2},  {0.3, 0.7, 0.8},
    {0.8, 0.2, 0.65}, {0.1, 0.1, 0.1}, {0.35, 0.4, 0.2}, {0.6, 0.15, 0.45}, {0.55, 0.6, 0.6}};

void cartesian_position(int structure, int atom, double position[3]) {
  for (int a = 0; a < 3; ++a) {
    position[a] = 0.0;
    for (int b = 0; b < 3; ++b) position[a] += kFractional[atom][b] * kCells[structure][b][a];
  }
}

void print_structure(const char* title, int structure, double energy, const char* virial_names, const double* virial,
                     int virial_count, const double* forces) {
  const int first = kAtomOffsets[structure];
  printf("%s: %d atoms\n  energy: %.8f eV\n  virial (%s):", title, kAtomCounts[structure], energy, virial_names);
  for (int k = 0; k < virial_count; ++k) printf(" %.8f", virial[k]);
  printf(" eV\n");
  for (int i = 0; i < kAtomCounts[structure]; ++i) {
    const double* f = forces + 3 * i;
    printf("  force on atom %d (%s): %.8f %.8f %.8f eV/Angstrom\n", i, kElements[kTypes[first + i]], f[0], f[1], f[2]);
  }
}

void check(int status, const char* call) {
  if (status == QRVL_STATUS_OK) return;
  fprintf(stderr, "%s: %s: %s\n", call, qrvl_status_message(status), qrvl_last_error_message());
  exit(EXIT_FAILURE);
}

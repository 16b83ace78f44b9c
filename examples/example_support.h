/* What the C examples share: the two periodic structures of evaluate.py, the block of results each example
 * prints per structure, and the end of the program on a failed call. */
#ifndef QUARVEL_EXAMPLE_SUPPORT_H
#define QUARVEL_EXAMPLE_SUPPORT_H

#include <stdint.h>

enum { kStructures = 2, kAtoms0 = 6, kAtoms1 = 4, kAtoms = kAtoms0 + kAtoms1 };

/* The order of the element symbols in the model file's first line gives the types: Si is 0, O is 1. */
extern const char* const kElements[];
extern const int32_t kTypes[kAtoms];            /* model type of each atom, structure after structure */
extern const int32_t kAtomCounts[kStructures];
extern const int32_t kAtomOffsets[kStructures]; /* index of each structure's first atom */
extern const double kCells[kStructures][3][3];  /* cell vectors as rows (Angstrom) */
extern const double kFractional[kAtoms][3];

/* Cartesian position (Angstrom) of atom `atom` of the whole list, which belongs to `structure`. */
void cartesian_position(int structure, int atom, double position[3]);

/* Prints `title`, the energy (eV), the `virial_count` virial components named in `virial_names` (eV) and the
 * force on each atom of `structure` (eV/Angstrom, 3 values per atom from `forces`). */
void print_structure(const char* title, int structure, double energy, const char* virial_names, const double* virial,
                     int virial_count, const double* forces);

/* Returns when `status` is QRVL_STATUS_OK; otherwise prints the call, the status text and the library's reason
 * and ends the program. */
void check(int status, const char* call);

#endif

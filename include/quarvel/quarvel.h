#ifndef QUARVEL_QUARVEL_H
#define QUARVEL_QUARVEL_H

/* The flat interface of quarvel: plain records, integer statuses and functions with C linkage.
 * Every pointer inside a record refers to caller-owned memory; the library neither frees nor keeps it.
 * Counts, indices, strides and flags are int32; physical values are double; capability words are uint64.
 * Units: Angstrom, eV, eV/Angstrom, eV (virials), elementary charges. S is a batch's number of structures,
 * N its number of atoms, D the model's descriptor dimension. Usable from C99 and C++. */

#include <stdint.h>

#include "quarvel/export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Interface version: major x 10000 + minor x 100 + patch (1.0.2). */
#define QRVL_API_VERSION 10002

/* Status of every flat operation that reports one; qrvl_status_message gives their texts. */
enum {
  QRVL_STATUS_OK = 0,
  QRVL_STATUS_INVALID_ARGUMENT = 1,
  QRVL_STATUS_UNSUPPORTED = 2,
  QRVL_STATUS_BACKEND_UNAVAILABLE = 3,
  QRVL_STATUS_RUNTIME_ERROR = 4,
  QRVL_STATUS_CANCELLED = 5
};

/* Model kinds answered by qrvl_model_kind; an engine that does not say answers ordinary. */
enum {
  QRVL_MODEL_KIND_ORDINARY = 0,
  QRVL_MODEL_KIND_SPIN = 1,
  QRVL_MODEL_KIND_CHARGE = 2,
  QRVL_MODEL_KIND_DIPOLE = 3,
  QRVL_MODEL_KIND_POLARIZABILITY = 4
};

/* Capability bits of QrvlModelInfo and QrvlBackendInfo; bit 0x020 is not assigned. */
#define QRVL_CAP_FORCE_BATCH UINT64_C(0x001)
#define QRVL_CAP_NEIGHBOR_LISTS UINT64_C(0x002)
#define QRVL_CAP_CUDA UINT64_C(0x004)
#define QRVL_CAP_SPIN_INPUT UINT64_C(0x008)
#define QRVL_CAP_CHARGE UINT64_C(0x010)
#define QRVL_CAP_DESCRIPTORS UINT64_C(0x040)
#define QRVL_CAP_MAGNETIC_FORCE UINT64_C(0x080)
#define QRVL_CAP_DIPOLE UINT64_C(0x100)
#define QRVL_CAP_POLARIZABILITY UINT64_C(0x200)
#define QRVL_CAP_DFTD3 UINT64_C(0x400)
#define QRVL_CAP_EVALUATE_DESCRIPTORS UINT64_C(0x800)

/* Opaque handle owning one loaded model; made by qrvl_load_model, destroyed by qrvl_free_model. */
typedef struct QrvlModel QrvlModel;

/* A batch of fully periodic structures (input of every batch operation). */
typedef struct QrvlStructureBatch {
  int32_t num_structures;      /* S, at least 1 */
  int32_t num_atoms;           /* N, at least 1 */
  const int32_t* atom_counts;  /* S: atoms of each structure, each at least 1; required */
  const int32_t* atom_offsets; /* S: first atom of each structure, offset + count at most N; required */
  const int32_t* types;        /* N: model type index of each atom; required */
  const double* positions;     /* 3N: x, y, z of atom i at 3i..3i+2 (Angstrom); required */
  const double* spins;         /* 3N: spin vector of atom i at 3i..3i+2; read only by spin models */
  const double* boxes;         /* 9S: row-major 3x3 cell whose columns are the cell vectors (Angstrom); required */
  const int32_t* pbc;          /* 3S: periodic flags, all must be 1 (else QRVL_STATUS_UNSUPPORTED); required */
} QrvlStructureBatch;

/* Caller-owned outputs of force and charge evaluations; a null optional slot is not written. */
typedef struct QrvlFindForceResult {
  double* energy;          /* S (eV); required */
  double* potential;       /* N: energy per atom; optional */
  double* force;           /* 3N: force on atom i at 3i..3i+2; required */
  double* virial;          /* 9S: row-major xx, xy, xz, yx, yy, yz, zx, zy, zz; optional */
  double* virial_per_atom; /* 9N: same order per atom; optional; switches to per-atom virials */
  double* charge;          /* N: charge models */
  double* bec;             /* 9N: Born effective charge, row-major per atom; charge models */
  double* mforce;          /* 3N: magnetic force per atom; spin models; optional */
  double* spin_transfer;   /* 9N: spin-transfer components per atom; spin models only */
} QrvlFindForceResult;

/* Outputs of the combined evaluation: the slots of QrvlFindForceResult, then the descriptors. */
typedef struct QrvlEvaluateResult {
  double* energy;
  double* potential;
  double* force;
  double* virial;
  double* virial_per_atom;
  double* charge;
  double* bec;
  double* mforce;
  double* spin_transfer;
  double* descriptors; /* N x D: descriptor values of atom i at i x D onward */
} QrvlEvaluateResult;

typedef struct QrvlFindDescriptorResult {
  double* descriptors; /* N x D: descriptor values of atom i at i x D .. i x D + D - 1; required */
} QrvlFindDescriptorResult;

typedef struct QrvlDipoleResult {
  double* dipoles; /* 3S */
} QrvlDipoleResult;

typedef struct QrvlPolarizabilityResult {
  double* polarizabilities; /* 6S */
} QrvlPolarizabilityResult;

typedef struct QrvlDftd3Parameters {
  const char* functional; /* exchange-correlation functional name; must not be null */
  double cutoff;          /* dispersion cutoff radius (Angstrom) */
  double cutoff_cn;       /* cutoff radius of the coordination numbers (Angstrom) */
} QrvlDftd3Parameters;

typedef struct QrvlDftd3Result {
  double* energy;          /* S */
  double* potential;       /* N */
  double* force;           /* 3N */
  double* virial;          /* 9S */
  double* virial_per_atom; /* 9N */
} QrvlDftd3Result;

/* Filled by qrvl_model_info. */
typedef struct QrvlModelInfo {
  double cutoff_radial;  /* largest radial cutoff (Angstrom) */
  double cutoff_angular; /* largest angular cutoff (Angstrom) */
  double cutoff_max;     /* overall largest cutoff (Angstrom) */
  uint64_t capabilities; /* QRVL_CAP_* bits */
  int32_t num_types;
  int32_t descriptor_dim; /* D */
} QrvlModelInfo;

/* Filled by qrvl_estimate_workspace; sizes in device bytes. */
typedef struct QrvlWorkspaceEstimate {
  uint64_t model_bytes;
  uint64_t workspace_bytes;
  uint64_t total_bytes; /* model_bytes + workspace_bytes */
  int32_t atom_capacity;
  int32_t structure_capacity;
} QrvlWorkspaceEstimate;

/* Filled by qrvl_backend_info; the texts stay valid until the next qrvl_backend_info call on the same thread. */
typedef struct QrvlBackendInfo {
  const char* name;
  const char* version;
  uint64_t capabilities;
} QrvlBackendInfo;

/* A LAMMPS full neighbor list in host memory, as a pair style with newton_pair on receives it. The atoms of ilist
 * are the centres and must be local, each named once; the rows of other atoms are not read. Rows may reach beyond
 * the model's cutoffs (cutoff plus skin): only neighbors within them enter the evaluation and count against its
 * capacities. Positions and spins must be finite. The record has no map length and no atom count, so two things
 * are the caller's duty that the call cannot check: type_map has an entry for every LAMMPS type present, and
 * every row entry names an atom that has types, positions (and spins) rows; otherwise memory past them is read. */
typedef struct QrvlLammpsNeighborInput {
  int32_t nlocal;                   /* owned atoms, at least 0 */
  int32_t inum;                     /* entries of ilist, at most nlocal; at least 1 when nlocal is positive */
  const int32_t* ilist;             /* local atoms to evaluate (each below nlocal, each once); required */
  const int32_t* numneigh;          /* neighbor count per atom index; required */
  const int32_t* const* firstneigh; /* neighbor row per atom index, top two bits are LAMMPS flags; required */
  const int32_t* types;             /* LAMMPS type of every atom; required */
  const int32_t* type_map;          /* model type per LAMMPS type, below the model's type count; negative =
                                       unmapped; required */
  const double* const* positions;   /* x, y, z row per atom index; required */
  const double* const* spins;       /* direction x, y, z and magnitude per atom index; spin models */
} QrvlLammpsNeighborInput;

/* Outputs in LAMMPS layout, host memory. Row arrays have a row for every atom the rows of ilist reach, local or
 * ghost; ghost rows hold what the caller adds onto the atoms they image (reverse communication). Rows are
 * written, not added to; a null row pointer skips that atom. */
typedef struct QrvlLammpsNeighborResult {
  double* energy;                  /* total over local atoms; required */
  double* virial;                  /* xx, yy, zz, xy, xz, yz totals; the same bits with or without per-atom rows,
                                      which add up to them within single precision; required */
  double* potential;               /* energy per local atom; optional */
  double* const* force;            /* 3 values per atom; required */
  double* const* mforce;           /* 3 values per atom, 0 for types without a spin degree of freedom; spin models;
                                      optional */
  double* const* virial_per_atom;  /* 9 values per atom: xx, yy, zz, xy, xz, yz, yx, zx, zy, single-precision
                                      sums; optional */
  double* const* spin_transfer;    /* 9 values per atom; spin models only */
} QrvlLammpsNeighborResult;

/* A LAMMPS full neighbor list in device memory; every pointer is a device pointer. The contract is that of
 * QrvlLammpsNeighborInput; types (through the map, or in place as model types) lie within the model. */
typedef struct QrvlLammpsDeviceNeighborInput {
  int32_t nlocal;               /* owned atoms, at least 0 */
  int32_t nall;                 /* owned plus ghost atoms, at least nlocal */
  int32_t inum;                 /* entries of ilist, 1 .. nlocal (0 only when nlocal is 0) */
  int32_t max_neighbors;        /* neighbors a row of `neighbors` holds, at least 0 */
  int32_t neighbor_rows;        /* rows of `neighbors`, at least 1 and at least nlocal */
  int32_t numneigh_length;      /* entries of numneigh, at least 1 and at least nlocal */
  const int32_t* ilist;         /* required */
  const int32_t* numneigh;      /* required */
  const int32_t* neighbors;     /* at i x neighbor_atom_stride + j x neighbor_slot_stride; required */
  const int32_t* reserved;      /* not read */
  int32_t neighbor_atom_stride; /* at least 1 */
  int32_t neighbor_slot_stride; /* at least 1 */
  const int32_t* types;         /* LAMMPS type with type_map, else model type; required */
  const int32_t* type_map;      /* optional LAMMPS type -> model type */
  int32_t type_map_length;      /* 0 without a map, at least 1 with one */
  const double* positions;      /* at i x position_atom_stride + c x position_component_stride; required */
  int32_t position_atom_stride;
  int32_t position_component_stride;
  const double* spins; /* direction x, y, z and magnitude per atom; spin models */
  int32_t spin_atom_stride;
  int32_t spin_component_stride;
} QrvlLammpsDeviceNeighborInput;

/* Outputs in device memory, each array at atom i x atom stride + component c x component stride. Forces, magnetic
 * forces, per-atom virials (single precision sums) and spin transfer cover atoms 0 .. nall-1, as in
 * QrvlLammpsNeighborResult; per-atom energies the local atoms. */
typedef struct QrvlLammpsDeviceNeighborResult {
  double* energy; /* one total over local atoms; given together with virial or not at all */
  double* virial; /* xx, yy, zz, xy, xz, yz totals, as in QrvlLammpsNeighborResult */
  double* potential;
  double* force; /* required */
  int32_t force_atom_stride;
  int32_t force_component_stride;
  double* mforce;
  int32_t mforce_atom_stride;
  int32_t mforce_component_stride;
  double* virial_per_atom;
  int32_t virial_atom_stride;
  int32_t virial_component_stride;
  double* spin_transfer; /* spin models only */
  int32_t spin_transfer_atom_stride;
  int32_t spin_transfer_component_stride;
} QrvlLammpsDeviceNeighborResult;

/* Functions that report a status answer a QRVL_STATUS_* value; the reason of a failure, if any, is the calling
 * thread's last error. Null pointers answer QRVL_STATUS_INVALID_ARGUMENT before anything is written. */

/* QRVL_API_VERSION. */
QUARVEL_API int qrvl_api_version(void);

/* Registers the CUDA engine ("cuda"); call it before qrvl_load_model, which answers QRVL_STATUS_BACKEND_UNAVAILABLE
 * with no text for a backend not registered. 1 when the engine is registered (by this call or an earlier one); 0
 * when another engine took the name first, which every later call answers too; 0 when registering failed (out of
 * memory), after which the next call tries again. */
QUARVEL_API int qrvl_register_cuda_engine(void);

/* Number of registered engines. */
QUARVEL_API int qrvl_backend_count(void);
/* Describes engine `index`; an index out of range zeroes `out` and answers QRVL_STATUS_BACKEND_UNAVAILABLE. */
QUARVEL_API int qrvl_backend_info(int index, QrvlBackendInfo* out);
/* Loads the model file at `path` with the first engine named `backend`; *out receives a new handle. No engine of
 * that name (as before qrvl_register_cuda_engine) answers QRVL_STATUS_BACKEND_UNAVAILABLE with no text. */
QUARVEL_API int qrvl_load_model(const char* backend, const char* path, QrvlModel** out);
/* Destroys the handle and its model; a null handle is ignored. */
QUARVEL_API void qrvl_free_model(QrvlModel* model);
/* Fills `out` with the model's cutoffs, capabilities, type count and descriptor dimension. */
QUARVEL_API int qrvl_model_info(QrvlModel* model, QrvlModelInfo* out);
/* Writes the model's QRVL_MODEL_KIND_* value to *out. */
QUARVEL_API int qrvl_model_kind(QrvlModel* model, int32_t* out);
/* Device bytes of the model and of a batch workspace for the given capacities (each at least 1). */
QUARVEL_API int qrvl_estimate_workspace(QrvlModel* model, int32_t atom_capacity, int32_t structure_capacity,
                                        QrvlWorkspaceEstimate* out);
/* Every batch operation first requires all periodic flags to be 1: a null pbc or any other flag answers
 * QRVL_STATUS_UNSUPPORTED with "Quarvel supports fully periodic structures only (pbc=[1,1,1])". Then it requires a
 * model kind it serves.
 * Neighbor capacity: each atom holds at most ceil(1.25 x the radial maximum) neighbors within the model's radial
 * list cutoff and ceil(1.25 x the angular maximum) within its angular cutoff, the two maxima ending the model file's
 * "cutoff" line. A structure beyond either answers QRVL_STATUS_RUNTIME_ERROR once its neighbor lists are built. One
 * whose atoms per cell volume times 4/3 pi (radial list cutoff)^3 exceed ten times the radial capacity (positions
 * and cells in nanometres, or fractional coordinates with an identity cell) answers it at once, naming the
 * structure, with nothing written.
 * Energies, forces and virials of a batch; not for charge, dipole or polarizability models. */
QUARVEL_API int qrvl_find_force_batch(QrvlModel* model, const QrvlStructureBatch* batch, QrvlFindForceResult* result);
/* Forces and descriptors in one pass; ordinary models only. */
QUARVEL_API int qrvl_evaluate_batch(QrvlModel* model, const QrvlStructureBatch* batch, QrvlEvaluateResult* result);
/* Forces, charges and Born effective charges; charge models only. */
QUARVEL_API int qrvl_find_charge_batch(QrvlModel* model, const QrvlStructureBatch* batch, QrvlFindForceResult* result);
/* The descriptor vector of every atom; models of any kind. */
QUARVEL_API int qrvl_find_descriptors(QrvlModel* model, const QrvlStructureBatch* batch,
                                      QrvlFindDescriptorResult* result);
/* Dipoles per structure; dipole models only. */
QUARVEL_API int qrvl_find_dipoles(QrvlModel* model, const QrvlStructureBatch* batch, QrvlDipoleResult* result);
/* Polarizabilities per structure; polarizability models only. */
QUARVEL_API int qrvl_find_polarizabilities(QrvlModel* model, const QrvlStructureBatch* batch,
                                           QrvlPolarizabilityResult* result);
/* Dispersion terms alone. */
QUARVEL_API int qrvl_compute_dftd3_batch(QrvlModel* model, const QrvlStructureBatch* batch,
                                         const QrvlDftd3Parameters* parameters, QrvlDftd3Result* result);
/* The model's own results plus the dispersion terms. */
QUARVEL_API int qrvl_compute_with_dftd3_batch(QrvlModel* model, const QrvlStructureBatch* batch,
                                              const QrvlDftd3Parameters* parameters, QrvlDftd3Result* result);
/* Forces on a LAMMPS full neighbor list in host memory; no cell, so no periodicity requirement. nlocal and inum
 * both 0 (a rank without atoms) answers QRVL_STATUS_OK with zero totals and writes nothing else. Refusals of a
 * null array or a negative count answer QRVL_STATUS_INVALID_ARGUMENT without a text; an ilist that cannot name
 * the local atoms, a non-local entry, a type beyond the model and a non-finite position or spin answer it with
 * one; a malformed list (a missing row, a negative index, count or type, an unmapped type, a row beyond a
 * capacity, a spin model without spins) answers QRVL_STATUS_RUNTIME_ERROR with a text. */
QUARVEL_API int qrvl_find_force_lammps_neighbors(QrvlModel* model, const QrvlLammpsNeighborInput* input,
                                                 QrvlLammpsNeighborResult* result);
/* The same on device arrays. Returns once the force work is queued on the default stream (it waits only for the
 * check of the staged list); the device arrays stay in use until that work completes. Every refusal carries a
 * text: bad counts, layouts and list contents answer QRVL_STATUS_INVALID_ARGUMENT; neighbor_rows or
 * numneigh_length below nlocal, staging tiles beyond the device's shared memory and mforce without spins answer
 * QRVL_STATUS_RUNTIME_ERROR. */
QUARVEL_API int qrvl_find_force_lammps_device_neighbors(QrvlModel* model, const QrvlLammpsDeviceNeighborInput* input,
                                                        QrvlLammpsDeviceNeighborResult* result);
/* Sets the model's cancel flag; may be called from another thread while the model computes. */
QUARVEL_API int qrvl_cancel_model(QrvlModel* model);
/* Clears the model's cancel flag. */
QUARVEL_API int qrvl_reset_cancel(QrvlModel* model);
/* Static text of a status; "unknown status" for any value without one. */
QUARVEL_API const char* qrvl_status_message(int status);
/* The calling thread's last-error text ("" when empty); valid until that thread's next flat call. */
QUARVEL_API const char* qrvl_last_error_message(void);

#ifdef __cplusplus
}
#endif

#endif

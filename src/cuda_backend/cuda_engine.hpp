#pragma once
// Registration of the library's one CUDA engine, named "cuda".
#include "quarvel/export.h"

namespace quarvel {

// Registers the process's CUDA engine the first time it is called and answers that first result on every later
// call (false when another engine named "cuda" was registered first).
QUARVEL_API bool register_cuda_engine();

}  // namespace quarvel

extern "C" {
// 1 when quarvel::register_cuda_engine answers true, else 0.
QUARVEL_API int qrvl_register_cuda_engine(void);
}

#pragma once
// Proof that one GPU can run the library's device code.
#include <string>

#include "quarvel/export.h"

namespace quarvel {

// Selects `device`, allocates one word, runs a one-thread kernel, waits, copies the word back and frees it.
// True when every step passed and the marker came back; `detail` is replaced by a sentence on success or by the
// failing step and the CUDA error text. Throws nothing and leaves no CUDA error pending. When selecting the
// device succeeded, `device` stays the calling thread's current device.
QUARVEL_API bool probe_cuda_device(int device, std::string& detail);

}  // namespace quarvel

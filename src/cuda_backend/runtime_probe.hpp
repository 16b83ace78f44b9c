#pragma once
// Proof that one GPU can run the library's device code: quarvel::probe_cuda_device, declared in the public header.
#include "quarvel/engine.hpp"

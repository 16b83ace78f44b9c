#pragma once
// Registration of the library's one CUDA engine: quarvel::register_cuda_engine and qrvl_register_cuda_engine are
// declared in the public headers.
#include "quarvel/engine.hpp"
#include "quarvel/quarvel.h"

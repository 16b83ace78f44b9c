#include "quarvel/export.h"

// Stands in for the flat interface until it lands, so the whole library chain builds and links.
extern "C" QUARVEL_API int qrvl_placeholder(void) { return 0; }

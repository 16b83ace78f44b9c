#include "support/fake_engine_c.h"

#include "support/fake_engine.hpp"

extern "C" void quarvel_test_register_fake_engine(void) { quarvel::testing::registered_fake_engine(); }

#ifndef QUARVEL_TESTS_SUPPORT_FAKE_ENGINE_C_H
#define QUARVEL_TESTS_SUPPORT_FAKE_ENGINE_C_H

/* Lets a test written in C register the fake engine (named "fake"; see fake_engine.hpp for its model paths). */

#ifdef __cplusplus
extern "C" {
#endif

/* Registers the fake engine once per process. */
void quarvel_test_register_fake_engine(void);

#ifdef __cplusplus
}
#endif

#endif

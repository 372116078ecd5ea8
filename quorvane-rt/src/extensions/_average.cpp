// The extension module quorvane._average. Its code is the shared runtime's
// (libquorvane_rt.so beside it); the module itself is only its initialiser.
#include "boundary/entry/initialisers.hpp"

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__average(void) {
  return quorvane_rt_init__average();
}

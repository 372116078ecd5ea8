// The extension module _quorvane. Its code is the shared runtime's
// (quorvane/libquorvane_rt.so, found through this module's run path); the
// module itself is only its initialiser.
#include "boundary/entry/initialisers.hpp"

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__quorvane(void) {
  return quorvane_rt_init__quorvane();
}

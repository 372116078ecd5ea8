// The initialisers of the wheel's extension modules, defined in the shared
// runtime (quorvane/libquorvane_rt.so) and its only exports. Each extension
// module's PyInit_<name> is one call of its initialiser, so whichever module
// is imported first, all use the runtime's one worker pool, kernel choice
// and interpreter-side caches.
#pragma once

#include "boundary/python/python.hpp"

extern "C" {
__attribute__((visibility("default"))) PyObject* quorvane_rt_init__quorvane(void);
__attribute__((visibility("default"))) PyObject* quorvane_rt_init__greeks(void);
__attribute__((visibility("default"))) PyObject* quorvane_rt_init__chunks(void);
__attribute__((visibility("default"))) PyObject* quorvane_rt_init__localised(void);
__attribute__((visibility("default"))) PyObject* quorvane_rt_init__average(void);
}

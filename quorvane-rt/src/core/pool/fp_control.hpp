// The floating-point control state a job carries from the thread that submitted
// it to the workers that run it.
//
// A thread's SSE control register (MXCSR) decides how its arithmetic rounds:
// the rounding mode, flush-to-zero of denormal results and denormals-are-zero
// for denormal inputs. Workers get theirs from the thread that built the pool,
// so without this a caller whose state differs (a library built with fast-math
// sets FTZ/DAZ when it is loaded; fesetround changes the rounding) would get
// different bits from the parallel form than from the serial one. Every job
// records the state of the thread that creates it; a worker runs each job it
// takes from a queue under that state and then restores its own. The exception
// masks and the sticky status flags stay the worker's: they do not change a
// result, and unmasking a trap on a worker would turn a harmless division by
// zero of a raw kernel into a crash. (x86-64 arithmetic is SSE2 only, so the
// x87 control word decides nothing here.) The state is read and set by the
// platform layer (core/platform).
#pragma once

#include "core/platform/platform.hpp"

namespace quorvane::pool::detail {

// The bits of the state that decide results (platform::FpControl: MXCSR's
// flush-to-zero, rounding and denormals-are-zero on x86-64; the rounding mode in
// the portable form); 0 where there is nothing to carry.
using FpControl = platform::FpControl;
using platform::apply_fp_control;
using platform::current_fp_control;

}  // namespace quorvane::pool::detail

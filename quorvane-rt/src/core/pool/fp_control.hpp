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
// x87 control word decides nothing here.)
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace quorvane::pool::detail {

// The bits of the state that decide results; 0 where there is nothing to carry.
using FpControl = std::uint32_t;

#if defined(__x86_64__) || defined(__i386__)

// MXCSR: flush-to-zero (bit 15), rounding control (bits 13-14), denormals-are-zero (bit 6).
inline constexpr std::uint32_t kFpControlMask = 0x8000u | 0x6000u | 0x0040u;

inline FpControl current_fp_control() noexcept { return _mm_getcsr() & kFpControlMask; }

inline void apply_fp_control(FpControl control) noexcept {
  _mm_setcsr((_mm_getcsr() & ~kFpControlMask) | control);
}

#else

inline FpControl current_fp_control() noexcept { return 0; }
inline void apply_fp_control(FpControl) noexcept {}

#endif

}  // namespace quorvane::pool::detail

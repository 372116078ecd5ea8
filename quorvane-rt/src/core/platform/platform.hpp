// What the core needs from the operating system and the processor, behind one
// small interface: sleeping on a 32-bit word and waking its sleepers (the pool's
// sleep states, latches and once-guard), which thread is running, the software
// prefetch of the kernels, the spin-wait hint, and the floating-point control
// state that a job carries from its submitter to the workers.
//
// Two implementations, chosen at compile time:
//  - Linux on x86-64 (the supported platform): futexes, the kernel thread id,
//    prefetcht0/prefetcht1, PAUSE and the SSE control register MXCSR;
//  - portable C++20, used wherever that one is absent, and on x86-64 when the
//    build defines QUORVANE_PORTABLE (CMake option of that name, which CI uses to
//    prove the portable layer): std::atomic wait/notify, std::thread ids,
//    __builtin_prefetch, and the rounding mode of <cfenv>.
// Neither changes a result: the waits and the hints only decide when work runs,
// and the control state is carried exactly where it can be read.
#pragma once

#include <atomic>
#include <cstdint>

#if defined(__linux__) && defined(__x86_64__) && !defined(QUORVANE_PORTABLE)
#define QUORVANE_PLATFORM_LINUX_X86_64 1
#include <xmmintrin.h>
#else
#include <cfenv>
#include <thread>
#endif

namespace quorvane::platform {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "wait words must be plain 32-bit integers");

// Sleeps while word == expected. Returns on a wake-up, a spurious wake-up or at
// once when the value differs; callers re-check their condition in a loop.
void wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept;

// As wait, for at most `nanoseconds`. Returns true when the wait ended by the
// time limit (or by a signal handler that ran on this thread), false on a
// wake-up or at once when the value differs.
bool wait_for(std::atomic<std::uint32_t>& word, std::uint32_t expected,
              long nanoseconds) noexcept;

// Wakes up to `count` threads sleeping on `word` (all of them for any count
// above 1 in the portable form). The futex form never touches the word's
// memory, so it may be called after the word's owner has moved on; the
// portable form hands the address to std::atomic::notify_*, whose
// implementations key their waiters by address too.
void wake(std::atomic<std::uint32_t>& word, int count) noexcept;

// Whether the calling thread is the process's main thread: Linux's first thread;
// in the portable form, the thread that loaded the core (which ran its static
// initialisers).
bool on_main_thread() noexcept;

// A number naming the calling thread in diagnostics: the kernel thread id, or
// a hash of std::this_thread::get_id().
std::uint64_t thread_number() noexcept;

// The floating-point control bits that decide results; 0 where there is nothing
// to carry. On x86-64 the MXCSR bits flush-to-zero (15), rounding control
// (13-14) and denormals-are-zero (6); in the portable form the rounding mode of
// <cfenv> (flush-to-zero has no portable spelling, so it is not carried).
using FpControl = std::uint32_t;

#if defined(QUORVANE_PLATFORM_LINUX_X86_64)
inline constexpr std::uint32_t kFpControlMask = 0x8000u | 0x6000u | 0x0040u;
inline FpControl current_fp_control() noexcept { return _mm_getcsr() & kFpControlMask; }
inline void apply_fp_control(FpControl control) noexcept {
  _mm_setcsr((_mm_getcsr() & ~kFpControlMask) | control);
}
#else
inline FpControl current_fp_control() noexcept {
  return static_cast<FpControl>(std::fegetround());
}
inline void apply_fp_control(FpControl control) noexcept {
  std::fesetround(static_cast<int>(control));
}
#endif

// Whether the flush-to-zero and denormals-are-zero modes of the caller reach the
// workers (they do only where the control register itself is carried).
inline constexpr bool kCarriesFlushToZero =
#if defined(QUORVANE_PLATFORM_LINUX_X86_64)
    true;
#else
    false;
#endif

// Internal linkage: the kernels compiled for a wider target (with -mavx2) call
// these, and no inline function of external linkage may be compiled there (the
// linker could pick that copy for baseline code).
namespace {

// Software prefetch, a hint that never faults: into every cache level (l1) or
// into L2 and below (l2). On x86-64 written as volatile assembly, because gcc
// takes a function whose only effect is __builtin_prefetch for one without
// side effects and may delete the calls to it when it does not inline them.
inline void prefetch_l1(std::uintptr_t at) noexcept {
#if defined(QUORVANE_PLATFORM_LINUX_X86_64)
  asm volatile("prefetcht0 (%0)" : : "r"(at));
#else
  __builtin_prefetch(reinterpret_cast<const void*>(at), 0, 3);
#endif
}
inline void prefetch_l2(std::uintptr_t at) noexcept {
#if defined(QUORVANE_PLATFORM_LINUX_X86_64)
  asm volatile("prefetcht1 (%0)" : : "r"(at));
#else
  __builtin_prefetch(reinterpret_cast<const void*>(at), 0, 2);
#endif
}

// One processor hint for a spin-wait loop.
inline void cpu_relax() noexcept {
#if defined(QUORVANE_PLATFORM_LINUX_X86_64)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#else
  std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

}  // namespace

}  // namespace quorvane::platform

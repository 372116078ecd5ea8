// What the core needs from the operating system and the processor, behind one
// small interface: sleeping on a 32-bit word and waking its sleepers (the pool's
// sleep states, latches and once-guard), which thread is running, the software
// prefetch of the kernels, the spin-wait hint, and the floating-point control
// state that a job carries from its submitter to the workers.
//
// The operating system's part, chosen at compile time:
//  - Linux (on x86-64 and arm64, the supported platforms): futexes and the
//    kernel thread id (platform_linux.cpp);
//  - portable C++20, used wherever that one is absent, and on Linux too when the
//    build defines QUORVANE_PORTABLE (CMake option of that name, which CI uses to
//    prove the portable layer): std::atomic wait/notify and std::thread ids
//    (platform_portable.cpp).
// The processor's part: on x86-64 PREFETCHT0/T1, PAUSE and the SSE control
// register MXCSR; on arm64 PRFM, YIELD and the control register FPCR; in the
// portable build __builtin_prefetch and the rounding mode of <cfenv>.
// Neither changes a result: the waits and the hints only decide when work runs,
// and the control state is carried exactly where it can be read.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#if !defined(QUORVANE_PORTABLE) && defined(__linux__) && (defined(__x86_64__) || defined(__aarch64__))
#define QUORVANE_PLATFORM_LINUX 1
#endif
#if !defined(QUORVANE_PORTABLE) && defined(__x86_64__)
#define QUORVANE_PLATFORM_X86_64 1
#include <xmmintrin.h>
#elif !defined(QUORVANE_PORTABLE) && defined(__aarch64__)
#define QUORVANE_PLATFORM_ARM64 1
#else
#include <cfenv>
#endif
#if !defined(QUORVANE_PLATFORM_LINUX)
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

// The size of one core's level-1 data cache in bytes, read once per process
// (sysconf on Linux); kDefaultL1DataCacheBytes where the system does not say.
// The C-order kernels size their prefetch by it.
inline constexpr std::size_t kDefaultL1DataCacheBytes = std::size_t{32} << 10;
std::size_t l1_data_cache_bytes() noexcept;

// The floating-point control bits that decide results; 0 where there is nothing
// to carry. On x86-64 the MXCSR bits flush-to-zero (15), rounding control
// (13-14) and denormals-are-zero (6). On arm64 the FPCR bits default NaN (25),
// flush-to-zero (24, which flushes inputs and results alike) and rounding mode
// (22-23). In the portable form the rounding mode of <cfenv> (flush-to-zero
// has no portable spelling, so it is not carried).
using FpControl = std::uint32_t;

#if defined(QUORVANE_PLATFORM_X86_64)
inline constexpr std::uint32_t kFpControlMask = 0x8000u | 0x6000u | 0x0040u;
inline FpControl current_fp_control() noexcept { return _mm_getcsr() & kFpControlMask; }
inline void apply_fp_control(FpControl control) noexcept {
  _mm_setcsr((_mm_getcsr() & ~kFpControlMask) | control);
}
#elif defined(QUORVANE_PLATFORM_ARM64)
inline constexpr std::uint64_t kFpControlMask = (1u << 25) | (1u << 24) | (3u << 22);
inline std::uint64_t read_fpcr() noexcept {
  std::uint64_t fpcr;
  asm volatile("mrs %0, fpcr" : "=r"(fpcr));
  return fpcr;
}
inline FpControl current_fp_control() noexcept {
  return static_cast<FpControl>(read_fpcr() & kFpControlMask);
}
inline void apply_fp_control(FpControl control) noexcept {
  const std::uint64_t fpcr = (read_fpcr() & ~kFpControlMask) | control;
  asm volatile("msr fpcr, %0" : : "r"(fpcr));
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
#if defined(QUORVANE_PLATFORM_X86_64) || defined(QUORVANE_PLATFORM_ARM64)
    true;
#else
    false;
#endif

// Internal linkage: the kernels compiled for a wider target (with -mavx2) call
// these, and no inline function of external linkage may be compiled there (the
// linker could pick that copy for baseline code).
namespace {

// Software prefetch, a hint that never faults: into every cache level (l1) or
// into L2 and below (l2). On x86-64 and arm64 written as volatile assembly,
// because gcc takes a function whose only effect is __builtin_prefetch for one
// without side effects and may delete the calls to it when it does not inline
// them. `Locality` is __builtin_prefetch's: 3 for every level, 2 for L2 and below.
template <int Locality>
inline void prefetch(std::uintptr_t at) noexcept {
  static_assert(Locality == 3 || Locality == 2);
#if defined(QUORVANE_PLATFORM_X86_64)
  if constexpr (Locality == 3)
    asm volatile("prefetcht0 (%0)" : : "r"(at));
  else
    asm volatile("prefetcht1 (%0)" : : "r"(at));
#elif defined(QUORVANE_PLATFORM_ARM64)
  if constexpr (Locality == 3)
    asm volatile("prfm pldl1keep, [%0]" : : "r"(at));
  else
    asm volatile("prfm pldl2keep, [%0]" : : "r"(at));
#else
  __builtin_prefetch(reinterpret_cast<const void*>(at), 0, Locality);
#endif
}
inline void prefetch_l1(std::uintptr_t at) noexcept { prefetch<3>(at); }
inline void prefetch_l2(std::uintptr_t at) noexcept { prefetch<2>(at); }

// One processor hint for a spin-wait loop.
inline void cpu_relax() noexcept {
#if defined(QUORVANE_PLATFORM_X86_64)
  __builtin_ia32_pause();
#elif defined(QUORVANE_PLATFORM_ARM64)
  asm volatile("yield" ::: "memory");
#else
  std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

}  // namespace

}  // namespace quorvane::platform

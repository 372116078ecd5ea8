#include "core/support/interrupt.hpp"

namespace quorvane {

namespace {

thread_local InterruptPoll current_poll = nullptr;
thread_local void* current_context = nullptr;
thread_local KernelPace* current_pace = nullptr;

}  // namespace

InterruptScope::InterruptScope(InterruptPoll poll, void* context) noexcept
    : previous_poll_(current_poll), previous_context_(current_context) {
  current_poll = poll;
  current_context = context;
}

InterruptScope::~InterruptScope() {
  current_poll = previous_poll_;
  current_context = previous_context_;
}

bool interrupt_requested() {
  return current_poll != nullptr && current_poll(current_context);
}

void poll_interrupt() {
  if (interrupt_requested()) throw Interrupted();
}

InterruptPoll installed_interrupt_poll(void*& context) noexcept {
  context = current_context;
  return current_poll;
}

KernelPace::KernelPace() noexcept
    : previous_(current_pace), stop_(previous_ != nullptr ? previous_->stop_ : nullptr) {
  current_pace = this;
}

KernelPace::KernelPace(const std::atomic<bool>& stop) noexcept
    : previous_(current_pace), stop_(&stop) {
  current_pace = this;
}

KernelPace::~KernelPace() { current_pace = previous_; }

void KernelPace::rethrow() const {
  if (failure_) std::rethrow_exception(failure_);
  throw Interrupted();
}

bool kernel_pace(std::size_t work) noexcept {
  KernelPace* pace = current_pace;
  if (pace == nullptr) return false;
  if (pace->stopped_) return true;
  // Relaxed is enough: the flag only lets a kernel end early.
  if (pace->stop_ != nullptr && pace->stop_->load(std::memory_order_relaxed)) {
    pace->stopped_ = true;
    return true;
  }
  if (work < pace->left_) {
    pace->left_ -= work;
    return false;
  }
  pace->left_ = kInterruptPollWork;
  try {
    pace->stopped_ = interrupt_requested();
  } catch (...) {
    pace->failure_ = std::current_exception();
    pace->stopped_ = true;
  }
  return pace->stopped_;
}

}  // namespace quorvane

#include "core/support/interrupt.hpp"

namespace quorvane {

namespace {

thread_local InterruptPoll current_poll = nullptr;
thread_local void* current_context = nullptr;

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

}  // namespace quorvane

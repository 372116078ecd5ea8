#include "core/support/scratch.hpp"

#include <cstdlib>

#include "core/support/buffer.hpp"

namespace quorvane {

namespace {

// Freed when the thread ends.
struct HistoryStorage {
  double* data = nullptr;
  std::size_t size = 0;
  ~HistoryStorage() { std::free(data); }
};

thread_local HistoryStorage storage;

}  // namespace

double* reserve_history(std::size_t doubles) {
  if (doubles <= storage.size && storage.data != nullptr) return storage.data;
  if (doubles > static_cast<std::size_t>(-1) / sizeof(double)) throw AllocationFailure(doubles);
  void* p = std::malloc((doubles == 0 ? 1 : doubles) * sizeof(double));
  if (p == nullptr) throw AllocationFailure(doubles);
  std::free(storage.data);
  storage.data = static_cast<double*>(p);
  storage.size = doubles;
  return storage.data;
}

double* reserved_history() noexcept { return storage.data; }

}  // namespace quorvane

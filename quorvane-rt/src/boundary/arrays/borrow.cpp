#include "boundary/arrays/borrow.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "boundary/numpy/numpy_api.hpp"
#include "boundary/errors/errors.hpp"
#include "core/support/failure.hpp"

namespace quorvane::numpy {

namespace {

constexpr const char* kAttribute = "_shared_borrow_registry";
constexpr const char* kCapsuleName = "shared_borrow_registry.v1";

struct Region {
  std::uintptr_t lo, hi;  // byte range; lo == hi for an empty array
  std::intptr_t holders;  // > 0: that many shared borrows; -1: one exclusive borrow
};

struct Key {
  PyObject* buffer;
  std::uintptr_t lo, hi;
};

// One live borrow as it was taken: Python code running during a call may change
// an array's strides in place, so a release must not recompute the region.
struct Held {
  Key key;
  bool exclusive;
};

struct Registry {
  PyTypeObject* array_type;
  std::unordered_map<PyObject*, std::vector<Region>> by_buffer;
  std::unordered_multimap<PyObject*, Held> by_array;
  Py_ssize_t live = 0;
};

// The borrow key, or nothing for an array whose byte range cannot be represented.
std::optional<Key> key_of(const Registry& r, PyObject* array) {
  const std::optional<ByteRange> range = byte_range(array);
  if (!range) return std::nullopt;
  PyObject* buffer = array;
  for (;;) {
    PyObject* base = fields(buffer)->base;
    if (base == nullptr) break;
    buffer = base;
    if (Py_TYPE(base) != r.array_type && !PyType_IsSubtype(Py_TYPE(base), r.array_type)) break;
  }
  return Key{buffer, range->lo, range->hi};
}

// An empty range covers no memory, so it overlaps nothing, wherever it lies.
bool overlaps(const Region& region, const Key& key) {
  return key.lo < key.hi && region.lo < region.hi && region.lo < key.hi && key.lo < region.hi;
}

int acquire_or_throw(Registry& r, PyObject* array, int exclusive) {
  if (Py_TYPE(array) != r.array_type && !PyType_IsSubtype(Py_TYPE(array), r.array_type)) return -2;
  const std::optional<Key> found = key_of(r, array);
  if (!found) return -2;
  const Key key = *found;
  auto& regions = r.by_buffer[key.buffer];
  for (const Region& region : regions) {
    if ((exclusive || region.holders < 0) && overlaps(region, key)) return -1;
  }
  if (!exclusive) {
    for (Region& region : regions) {
      if (region.holders > 0 && region.lo == key.lo && region.hi == key.hi) {
        r.by_array.emplace(array, Held{key, false});
        ++region.holders;
        ++r.live;
        return 0;
      }
    }
  }
  regions.push_back(Region{key.lo, key.hi, exclusive ? -1 : 1});
  try {
    r.by_array.emplace(array, Held{key, exclusive != 0});
  } catch (...) {
    regions.pop_back();  // leave the registry as it was
    throw;
  }
  ++r.live;
  return 0;
}

// The functions of the capsule are called through C function pointers, maybe
// from other extension modules: nothing may be thrown through them.
int acquire(void* state, PyObject* array, int exclusive) noexcept {
  try {
    return acquire_or_throw(*static_cast<Registry*>(state), array, exclusive);
  } catch (...) {
    return -3;  // no memory to record the borrow
  }
}

void release(void* state, PyObject* array, int exclusive) noexcept {
  auto& r = *static_cast<Registry*>(state);
  // The region recorded when the borrow was taken, whatever the array looks like now.
  auto [first, last] = r.by_array.equal_range(array);
  while (first != last && first->second.exclusive != (exclusive != 0)) ++first;
  if (first == last) return;
  const Key key = first->second.key;
  r.by_array.erase(first);
  auto found = r.by_buffer.find(key.buffer);
  if (found == r.by_buffer.end()) return;
  auto& regions = found->second;
  for (auto it = regions.begin(); it != regions.end(); ++it) {
    if (it->lo != key.lo || it->hi != key.hi || (it->holders < 0) != (exclusive != 0)) continue;
    --r.live;
    if (it->holders > 1) {
      --it->holders;
    } else {
      regions.erase(it);
      if (regions.empty()) r.by_buffer.erase(found);
    }
    return;
  }
}

Py_ssize_t count(void* state) noexcept { return static_cast<Registry*>(state)->live; }

const SharedBorrowApi* cached = nullptr;  // guarded by the interpreter lock; never freed

[[noreturn]] void registry_failure(py::CallError error) {
  fail("failed to obtain the shared borrow registry: " + py::debug_form(error));
}

const SharedBorrowApi& registry() {
  if (cached != nullptr) return *cached;
  const Api& numpy = api();
  py::PyRef module = py::PyRef::steal(PyImport_ImportModule(multiarray_module_name().c_str()));
  if (!module) registry_failure(py::fetch_error());
  py::PyRef capsule = py::PyRef::steal(PyObject_GetAttrString(module.get(), kAttribute));
  if (capsule) {
    auto* existing = static_cast<const SharedBorrowApi*>(PyCapsule_GetPointer(capsule.get(), kCapsuleName));
    if (existing == nullptr) registry_failure(py::fetch_error());
    if (existing->version < 1) fail("the shared borrow registry on NumPy's module has an unknown version");
    // Another module's registry: keep its capsule (and so the registry) alive
    // for the rest of the process, whatever happens to NumPy's attribute.
    capsule.release();
    if (cached == nullptr) cached = existing;
    return *cached;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) registry_failure(py::fetch_error());
  PyErr_Clear();
  // Owned here until NumPy's module holds the capsule: a failure on the way
  // (no capsule, no attribute) frees them. The capsule has no destructor, so
  // dropping it never touches them.
  auto state = std::make_unique<Registry>(Registry{numpy.array_type(), {}, {}, 0});
  auto shared = std::make_unique<SharedBorrowApi>(SharedBorrowApi{1, state.get(), &acquire, &release, &count});
  py::PyRef created = py::PyRef::steal(PyCapsule_New(shared.get(), kCapsuleName, nullptr));
  if (!created || PyObject_SetAttrString(module.get(), kAttribute, created.get()) != 0) {
    registry_failure(py::fetch_error());
  }
  // From here on the registry is NumPy's module's, for the rest of the process,
  // and so is our reference to its capsule.
  created.release();
  state.release();
  if (cached == nullptr) cached = shared.get();
  shared.release();
  return *cached;
}

}  // namespace

std::optional<ByteRange> byte_range(PyObject* array) noexcept {
  // Offsets from the data pointer, in checked signed arithmetic: an extent times
  // a stride can exceed 64 bits (np.lib.stride_tricks.as_strided makes such
  // arrays without complaint), and then so would any address formed from it.
  const ArrayFields* f = fields(array);
  const auto data = reinterpret_cast<std::uintptr_t>(f->data);
  npy_intp below = 0, above = 0;  // the lowest and highest element's offsets
  for (int axis = 0; axis < f->nd; ++axis) {
    const npy_intp extent = f->dimensions[axis];
    // An empty array covers no memory and can conflict with nothing.
    if (extent == 0) return ByteRange{data, data};
    npy_intp reach;
    if (__builtin_mul_overflow(extent - 1, f->strides[axis], &reach)) return std::nullopt;
    if (__builtin_add_overflow(reach < 0 ? below : above, reach, reach < 0 ? &below : &above))
      return std::nullopt;
  }
  // [data + below, data + above + 8) must lie inside the address space.
  std::uintptr_t lo, hi;
  if (__builtin_add_overflow(data, below, &lo)) return std::nullopt;
  if (__builtin_add_overflow(data, above, &hi) || __builtin_add_overflow(hi, 8, &hi))
    return std::nullopt;
  return ByteRange{lo, hi};
}

void acquire_shared(PyObject* array) {
  const SharedBorrowApi& r = registry();
  const int status = r.acquire(r.state, array, 0);
  if (status == -1) fail("array is exclusively borrowed elsewhere and cannot be read");
  if (status == -3) fail("the shared borrow registry has no memory left to record a borrow");
  if (status != 0) fail("the shared borrow registry refused an array it did not recognise");
}

void release_shared(PyObject* array) noexcept {
  // Only reached after a successful acquire, so the registry exists.
  cached->release(cached->state, array, 0);
}

}  // namespace quorvane::numpy

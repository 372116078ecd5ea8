#include "boundary/arrays/borrow.hpp"

#include <algorithm>
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

Key key_of(const Registry& r, PyObject* array) {
  PyObject* buffer = array;
  for (;;) {
    PyObject* base = fields(buffer)->base;
    if (base == nullptr) break;
    buffer = base;
    if (Py_TYPE(base) != r.array_type && !PyType_IsSubtype(Py_TYPE(base), r.array_type)) break;
  }
  const ArrayFields* f = fields(array);
  std::uintptr_t lo = reinterpret_cast<std::uintptr_t>(f->data), hi = lo;
  bool empty = false;
  for (int axis = 0; axis < f->nd; ++axis) {
    const npy_intp extent = f->dimensions[axis];
    if (extent == 0) empty = true;
    const npy_intp reach = (extent - 1) * f->strides[axis];
    if (reach < 0) lo += reach; else hi += reach;
  }
  // An empty array covers no memory and can conflict with nothing.
  if (empty) return Key{buffer, lo, lo};
  return Key{buffer, lo, hi + 8};
}

// An empty range covers no memory, so it overlaps nothing, wherever it lies.
bool overlaps(const Region& region, const Key& key) {
  return key.lo < key.hi && region.lo < region.hi && region.lo < key.hi && key.lo < region.hi;
}

int acquire_or_throw(Registry& r, PyObject* array, int exclusive) {
  if (Py_TYPE(array) != r.array_type && !PyType_IsSubtype(Py_TYPE(array), r.array_type)) return -2;
  const Key key = key_of(r, array);
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
  auto* state = new Registry{numpy.array_type(), {}, {}, 0};
  auto* shared = new SharedBorrowApi{1, state, &acquire, &release, &count};
  py::PyRef created = py::PyRef::steal(PyCapsule_New(shared, kCapsuleName, nullptr));
  if (!created || PyObject_SetAttrString(module.get(), kAttribute, created.get()) != 0) {
    registry_failure(py::fetch_error());
  }
  created.release();  // ours too stays alive for the rest of the process
  if (cached == nullptr) cached = shared;
  return *cached;
}

}  // namespace

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

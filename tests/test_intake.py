"""Array intake: which objects are float64 arrays of the right dimensionality,
reading any layout in logical order without a copy, borrows and references."""

import array
import gc
import os
import sys
import warnings

import numpy as np
import pytest

import _quorvane as q

from conftest import (FUNCTIONS, LAYOUTS, array_bits, bit_list, borrow_count, exclusive_borrow,
                      make_layout, ref_mean_stderr, ref_weights, run_python, same_result)

MESSAGE = "argument '{name}': '{qualname}' object cannot be converted to 'PyArray<T, D>'"


class UserArray(np.ndarray):
    pass


def refused_objects():
    yield [1.0, 2.0], "list"
    yield (1.0, 2.0), "tuple"
    yield None, "NoneType"
    yield 1.0, "float"
    yield np.float64(1.0), "float64"
    yield np.array(1.0), "ndarray"
    yield memoryview(np.arange(3.0)), "memoryview"
    yield array.array("d", [1.0, 2.0]), "array"
    yield np.arange(3, dtype=np.float32), "ndarray"
    yield np.arange(3, dtype=np.int64), "ndarray"
    yield np.arange(3, dtype=np.complex128), "ndarray"
    yield np.arange(3, dtype=object), "ndarray"
    yield np.arange(3, dtype=np.longdouble), "ndarray"
    yield np.zeros(3, dtype=np.dtype([("x", "<f8")])), "ndarray"
    yield np.arange(3.0).astype(np.dtype("f8").newbyteorder()), "ndarray"
    yield np.zeros((2, 2)), "ndarray"
    yield np.zeros((0, 3)), "ndarray"
    yield np.zeros((1, 1, 1)), "ndarray"
    yield np.zeros((1, 2)).view(np.matrix), "matrix"
    yield np.zeros((2, 2)).view(UserArray), "UserArray"
    yield np.zeros(2, dtype=np.float32).view(UserArray), "UserArray"


REFUSED = list(refused_objects())


@pytest.mark.parametrize("obj, qualname", REFUSED, ids=[f"{i}-{n}" for i, (_, n) in enumerate(REFUSED)])
def test_refused_objects_name_the_argument_and_the_type(obj, qualname, capfd):
    shared = obj is None or type(obj) is float  # singletons: other code moves their counts
    gc.collect()
    before = sys.getrefcount(obj)
    for call, name in [
        (lambda: q.price_from_samples(obj), "samples"),
        (lambda: q.bel_weights_constant_flow(obj, 1.0, 1.0), "w_terminals"),
        (lambda: q.price_and_delta_constant_flow(obj, np.zeros(2), 1.0, 1.0, "call"), "terminal_states"),
        (lambda: q.price_and_delta_constant_flow(np.zeros(2), obj, 1.0, 1.0, "call"), "w_terminals"),
    ]:
        with pytest.raises(TypeError) as info:
            call()
        assert type(info.value) is TypeError
        assert str(info.value) == MESSAGE.format(name=name, qualname=qualname)
        assert info.value.__cause__ is None
    del info
    assert shared or sys.getrefcount(obj) == before
    assert capfd.readouterr().err == ""


def test_local_subclass_is_named_by_its_qualified_name():
    class Local(np.ndarray):
        pass

    obj = np.zeros((1, 2)).view(Local)
    with pytest.raises(TypeError) as info:
        q.price_from_samples(obj)
    assert str(info.value) == MESSAGE.format(
        name="samples", qualname="test_local_subclass_is_named_by_its_qualified_name.<locals>.Local")


@pytest.mark.parametrize("layout", LAYOUTS)
def test_every_layout_is_read_in_logical_order(layout, rng):
    values = [rng.uniform(-1e6, 1e6) for _ in range(17)] + [1e16, 1.0, -1e16, 1.0]
    arr = make_layout(values, layout)
    assert arr.tolist() == values
    contiguous = np.array(values)
    assert bit_list(q.price_from_samples(arr)) == bit_list(ref_mean_stderr(values))
    assert same_result(q.price_from_samples(arr), q.price_from_samples(contiguous))
    assert array_bits(q.bel_weights_constant_flow(arr, 0.7, 3.0)) == bit_list(ref_weights(values, 0.7, 3.0))
    other = make_layout(values[::-1], layout)
    assert same_result(q.price_and_delta_constant_flow(arr, other, 1.0, 3.0, "put", 2.0),
                       q.price_and_delta_constant_flow(contiguous, np.array(values[::-1]), 1.0, 3.0, "put", 2.0))


def test_layouts_really_are_what_they_claim():
    values = [1.0, 2.0, 3.0]
    assert make_layout(values, "reversed").strides == (-8,)
    assert make_layout(values, "unaligned_stride12").strides == (12,)
    assert not make_layout(values, "unaligned_stride12").flags.aligned
    assert make_layout(values, "unaligned_reversed").strides == (-12,)
    assert make_layout(values, "packed_record").strides == (9,)
    assert not make_layout(values, "readonly").flags.writeable


def test_zero_stride_broadcast_reads_the_same_memory_each_time():
    for value in (0.1, -0.0, float("inf")):
        arr = np.broadcast_to(np.float64(value), (10,))
        assert arr.strides == (0,)
        values = [value] * 10
        assert bit_list(q.price_from_samples(arr)) == bit_list(ref_mean_stderr(values))
        assert array_bits(q.bel_weights_constant_flow(arr, 1.0, 3.0)) == bit_list(ref_weights(values, 1.0, 3.0))


def test_equivalent_float64_dtype_objects_are_accepted():
    values = [0.5, -2.0, 7.25]
    for dtype in (np.dtype("f8").newbyteorder("="), np.dtype(np.float64, metadata={"a": 1}),
                  np.dtype("<f8"), np.dtype("d")):
        arr = np.array(values, dtype=dtype)
        assert bit_list(q.price_from_samples(arr)) == bit_list(ref_mean_stderr(values))
    assert np.dtype(np.float64, metadata={"a": 1}) is not np.dtype(np.float64)


def test_subclasses_are_read_as_plain_ndarrays(tmp_path):
    values = [3.0, float("nan"), -1.5, 4.0]
    masked = np.ma.MaskedArray(values, mask=[False, True, False, False])
    mapped = np.memmap(tmp_path / "m.bin", dtype=np.float64, mode="w+", shape=(4,))
    mapped[:] = values
    user = np.array(values).view(UserArray)
    expected = bit_list(ref_mean_stderr(values))
    for arr in (masked, mapped, user, mapped[::-1][::-1]):
        assert bit_list(q.price_from_samples(arr)) == expected
        out = q.bel_weights_constant_flow(arr, 1.0, 2.0)
        assert type(out) is np.ndarray
        assert array_bits(out) == bit_list(ref_weights(values, 1.0, 2.0))
    del mapped


def test_empty_arrays_pass_intake():
    for arr in (np.zeros(0), np.zeros(0)[::-1], np.zeros((3, 0))[0], np.zeros((0, 2))[:, 1]):
        assert arr.shape == (0,)
        assert q.bel_weights_constant_flow(arr, 1.0, 1.0).shape == (0,)
        assert len(q.price_from_samples(arr)) == 2


def test_same_array_for_both_parameters():
    a = np.array([1.0, -2.0, 3.0])
    assert same_result(q.price_and_delta_constant_flow(a, a, 1.0, 1.0, "identity"),
                       q.price_and_delta_constant_flow(a, a.copy(), 1.0, 1.0, "identity"))


def test_no_copy_is_made_of_a_large_input():
    # A 64 MiB broadcast view is only 8 bytes of memory: a copy would show as a
    # very different result for a view of distinct memory.
    arr = np.broadcast_to(np.float64(2.0), (1 << 23,))
    assert q.price_from_samples(arr) == (2.0, 0.0)


def error_paths():
    a = np.array([1.0, 2.0])
    b = np.array([1.0, 2.0, 3.0])
    yield "binding", lambda: q.price_and_delta_constant_flow(a, b, 1.0, 1.0, "call", 0.0, 1.0), TypeError
    yield "second array", lambda: q.price_and_delta_constant_flow(a, [1.0], 1.0, 1.0, "call"), TypeError
    yield "horizon", lambda: q.price_and_delta_constant_flow(a, a, "1", 1.0, "call"), TypeError
    yield "payoff", lambda: q.price_and_delta_constant_flow(a, a, 1.0, 1.0, b"call"), TypeError
    yield "strike", lambda: q.price_and_delta_constant_flow(a, a, 1.0, 1.0, "call", None), TypeError
    yield "length", lambda: q.price_and_delta_constant_flow(a, b, 1.0, 1.0, "call"), ValueError
    yield "unknown payoff", lambda: q.price_and_delta_constant_flow(a, a, 1.0, 1.0, "Call"), ValueError
    yield "assertion", lambda: q.price_and_delta_constant_flow(a, a, 1.0, 0.0, "call"), BaseException
    yield "weights horizon", lambda: q.bel_weights_constant_flow(a, -1.0, 1.0), ValueError
    yield "weights sigma conversion", lambda: q.bel_weights_constant_flow(a, 1.0, None), TypeError
    yield "overflow", lambda: q.bel_weights_constant_flow(a, 10**400, 1.0), OverflowError


ERROR_PATHS = list(error_paths())


@pytest.mark.parametrize("name, call, error", ERROR_PATHS, ids=[p[0] for p in ERROR_PATHS])
def test_error_paths_leave_no_borrow_and_no_reference(name, call, error):
    inputs = call.__code__.co_freevars
    cells = [c.cell_contents for c in call.__closure__ or ()]
    arrays = [c for c in cells if isinstance(c, np.ndarray)]
    assert arrays and len(inputs) == len(cells)
    gc.collect()
    before = [sys.getrefcount(x) for x in arrays]
    for _ in range(3):
        with pytest.raises(error):
            call()
        assert borrow_count() == 0
    gc.collect()
    assert [sys.getrefcount(x) for x in arrays] == before
    # and the next call succeeds normally
    assert bit_list(q.price_from_samples(arrays[0])) == bit_list(ref_mean_stderr([1.0, 2.0]))


@pytest.mark.parametrize("case", FUNCTIONS, ids=repr)
def test_success_leaves_no_borrow_and_no_reference(case):
    args = case.valid_args()
    gc.collect()
    before = [sys.getrefcount(x) for x in args]
    first = case.function(*args)
    for _ in range(3):
        assert same_result(case.function(*args), first)
    assert borrow_count() == 0
    del first
    assert [sys.getrefcount(x) for x in args] == before


def test_borrows_are_held_during_the_call_and_released_after():
    seen = []
    a = np.array([1.0, 2.0])

    class Watch:
        def __float__(self):
            seen.append(borrow_count())
            return 1.0

    q.price_and_delta_constant_flow(a, a, Watch(), 1.0, "call")
    q.bel_weights_constant_flow(a, Watch(), 1.0)
    assert seen == [2, 1]


def test_exclusive_borrow_elsewhere_makes_the_call_panic(panic_type):
    base = np.arange(10.0)
    with exclusive_borrow(base):
        for call in (lambda: q.price_from_samples(base),
                     lambda: q.price_from_samples(base[3:5]),
                     lambda: q.bel_weights_constant_flow(base[::-1], 1.0, 1.0),
                     lambda: q.price_and_delta_constant_flow(np.zeros(10), base, 1.0, 1.0, "call")):
            with pytest.raises(panic_type):
                call()
            assert borrow_count() == 1  # only the exclusive one
    assert bit_list(q.price_from_samples(base)) == bit_list(ref_mean_stderr(base.tolist()))


def test_exclusive_borrow_of_a_disjoint_region_does_not_conflict(panic_type):
    base = np.arange(10.0)
    with exclusive_borrow(base[:5]):
        assert bit_list(q.price_from_samples(base[5:])) == bit_list(ref_mean_stderr(base[5:].tolist()))
        with pytest.raises(panic_type):
            q.price_from_samples(base[4:6])
    with exclusive_borrow(base[::2]):  # spans [0, 72): overlaps the odd elements too
        with pytest.raises(panic_type):
            q.price_from_samples(base[1::2])


def test_shared_borrows_of_other_modules_do_not_conflict():
    from conftest import registry

    api = registry()
    a = np.arange(4.0)
    assert api.acquire(api.state, a, 0) == 0
    try:
        assert bit_list(q.price_from_samples(a)) == bit_list(ref_mean_stderr(a.tolist()))
        assert borrow_count() == 1
        assert api.acquire(api.state, a, 1) == -1
    finally:
        api.release(api.state, a, 0)


NO_NUMPY = r"""
import sys
import warnings
sys.modules["numpy"] = None
import _quorvane
results = []
for call in (lambda: _quorvane.price_from_samples([1.0]),
             lambda: _quorvane.bel_weights_constant_flow(None, 1.0, 1.0),
             lambda: _quorvane.price_and_delta_constant_flow([1.0], [1.0], 1.0, 1.0, "call")):
    try:
        call()
    except Exception as e:
        results.append("Exception " + type(e).__name__)
    except BaseException as e:
        results.append(type(e).__name__ + " " + str(e))
del sys.modules["numpy"]
import numpy
results.append(repr(_quorvane.price_from_samples(numpy.array([1.0, 3.0, 1.0, 3.0]))))
print("\n".join(results))
"""


def test_without_numpy_every_array_call_panics_and_a_later_call_retries():
    out = run_python(NO_NUMPY)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert len(lines) == 4, out.stdout
    prefix = "PanicException Failed to access NumPy array API capsule: PyErr { type: <class '"
    for line in lines[:3]:
        assert line.startswith(prefix + "ModuleNotFoundError'>, value: ModuleNotFoundError("), line
        assert line.endswith(" }")
    assert lines[3] == "(2.0, 0.5)"
    assert "Failed to access NumPy array API capsule" in out.stderr


def test_numpy_that_fails_to_import_panics_with_its_error(tmp_path):
    fake = tmp_path / "numpy"
    fake.mkdir()
    (fake / "__init__.py").write_text("raise ImportError('numpy is broken here')\n")
    code = ("import sys\n"
            f"sys.path.insert(0, {str(tmp_path)!r})\n"
            "import _quorvane\n"
            "try:\n"
            "    _quorvane.price_from_samples([1.0])\n"
            "except BaseException as e:\n"
            "    print(type(e).__name__, e)\n")
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith(
        "PanicException Failed to access NumPy array API capsule: PyErr { type: <class 'ImportError'>, "
        "value: ImportError('numpy is broken here'), traceback: Some(<traceback object at ")


def test_registry_lives_on_numpys_multiarray_module():
    from conftest import _multiarray

    multiarray = _multiarray()
    capsule = multiarray._shared_borrow_registry
    assert type(capsule).__name__ == "PyCapsule"
    assert "shared_borrow_registry.v1" in repr(capsule)


def set_strides(arr, strides):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            arr.strides = strides
        except AttributeError:  # pragma: no cover - a NumPy without the setter
            pytest.skip("this NumPy cannot change strides in place")


def test_changing_strides_during_the_call_leaves_no_borrow():
    # A conversion callback may legally re-stride an array that is already
    # borrowed; the borrow taken at intake must still be the one released.
    base = np.arange(10.0)
    view = base[::2]

    class Restride:
        def __float__(self):
            set_strides(view, (8,))
            return 1.0

    out = q.bel_weights_constant_flow(view, Restride(), 1.0)
    assert out.tolist() == [0.0, 1.0, 2.0, 3.0, 4.0]  # read as the array is when computing
    assert borrow_count() == 0
    with exclusive_borrow(base):  # nothing stale blocks another module
        pass


def test_changing_dimensions_during_the_call_panics_and_leaves_no_borrow(panic_type):
    arr = np.arange(4.0)

    class Reshape:
        def __float__(self):
            with warnings.catch_warnings():  # NumPy 2.5 deprecates setting the shape
                warnings.simplefilter("ignore", DeprecationWarning)
                arr.shape = (2, 2)
            return 1.0

    with pytest.raises(panic_type):
        q.bel_weights_constant_flow(arr, Reshape(), 1.0)
    assert borrow_count() == 0
    with exclusive_borrow(arr):
        pass


FOREIGN_REGISTRY = rf"""
import ctypes, sys
import numpy as np
import _quorvane
sys.path.insert(0, {os.path.dirname(__file__)!r})
from conftest import ACQUIRE as ACQ, COUNT as CNT, RELEASE as REL, RegistryApi as Api, _multiarray
multiarray = _multiarray()

calls = []
refuse = []

def acquire(state, array, exclusive):
    calls.append(("acquire", state, array.tolist(), exclusive))
    return refuse.pop(0) if refuse else 0

def release(state, array, exclusive):
    calls.append(("release", state, array.tolist(), exclusive))

def report(call):
    calls.clear()
    try:
        call()
        print("ok", calls)
    except BaseException as e:
        print(type(e).__name__, calls)

new = ctypes.pythonapi.PyCapsule_New
new.restype = ctypes.py_object
new.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
wrong = ctypes.create_string_buffer(b"some_other_capsule")
multiarray._shared_borrow_registry = new(ctypes.addressof(wrong), ctypes.addressof(wrong), None)
a = np.array([1.0, 2.0])
b = np.array([3.0, 4.0])
report(lambda: _quorvane.price_from_samples(a))

api = Api(1, 1234, ACQ(acquire), REL(release), CNT(lambda state: 0))
name = ctypes.create_string_buffer(b"shared_borrow_registry.v1")
multiarray._shared_borrow_registry = new(ctypes.addressof(api), ctypes.addressof(name), None)
report(lambda: _quorvane.price_and_delta_constant_flow(a, b, 1.0, 1.0, "call"))
refuse[:] = [0, -1]
report(lambda: _quorvane.price_and_delta_constant_flow(a, b, 1.0, 1.0, "call"))
refuse[:] = [-2]
report(lambda: _quorvane.price_from_samples(a))
report(lambda: _quorvane.price_and_delta_constant_flow(a, b, "x", 1.0, "call"))
"""


def test_a_registry_already_on_numpy_is_used_and_a_broken_one_panics():
    out = run_python(FOREIGN_REGISTRY)
    assert out.returncode == 0, out.stderr
    acq_a, acq_b = ("acquire", 1234, [1.0, 2.0], 0), ("acquire", 1234, [3.0, 4.0], 0)
    rel_a, rel_b = ("release", 1234, [1.0, 2.0], 0), ("release", 1234, [3.0, 4.0], 0)
    assert out.stdout.splitlines() == [
        "PanicException []",  # a capsule of another kind: the registry cannot be obtained
        f"ok {[acq_a, acq_b, rel_b, rel_a]}",  # released in reverse order of intake
        f"PanicException {[acq_a, acq_b, rel_a]}",  # refused: the first borrow is still dropped
        f"PanicException {[acq_a]}",
        f"TypeError {[acq_a, acq_b, rel_b, rel_a]}",
    ]


@pytest.mark.parametrize("version, core", [("2.1.0", "_core"), ("1.26.4", "core"), ("3.0.0.dev0", "_core")])
def test_the_api_table_is_looked_up_where_the_numpy_version_says(tmp_path, version, core):
    package = tmp_path / "numpy"
    (package / "lib").mkdir(parents=True)
    (package / core).mkdir()
    (package / "__init__.py").write_text(f"__version__ = {version!r}\n")
    (package / "lib" / "__init__.py").write_text(
        "class NumpyVersion:\n"
        "    def __init__(self, v):\n"
        "        self.major = int(v.split('.')[0])\n")
    (package / core / "__init__.py").write_text("")
    (package / core / "multiarray.py").write_text("_ARRAY_API = 5\n")
    code = ("import sys\n"
            f"sys.path.insert(0, {str(tmp_path)!r})\n"
            "import _quorvane\n"
            "for _ in range(2):\n"
            "    try:\n"
            "        _quorvane.price_from_samples(None)\n"
            "    except BaseException as e:\n"
            "        print(type(e).__name__, e)\n")
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    line = ("PanicException Failed to access NumPy array API capsule: PyErr { type: <class 'TypeError'>, "
            "value: TypeError(\"'int' object cannot be converted to 'PyCapsule'\"), traceback: None }")
    assert out.stdout.splitlines() == [line, line]


def test_a_type_name_that_cannot_be_encoded_is_replaced():
    cls = type("Plain", (), {})
    cls.__qualname__ = "bad\ud800name"
    nameless = cls()
    for call, name in [(lambda: q.price_from_samples(nameless), "samples"),
                       (lambda: q.price_and_delta_constant_flow(np.ones(1), np.ones(1), 1.0, 1.0, nameless),
                        "payoff")]:
        with pytest.raises(TypeError) as info:
            call()
        target = "PyString" if name == "payoff" else "PyArray<T, D>"
        assert str(info.value) == (f"argument '{name}': '<failed to extract type name>' object "
                                   f"cannot be converted to '{target}'")


def test_a_foreign_registry_capsule_is_kept_alive_by_the_module():
    # The module points into the capsule's registry for the rest of the process,
    # so it holds a reference: NumPy's attribute may be deleted or replaced.
    code = FOREIGN_REGISTRY[:FOREIGN_REGISTRY.index("wrong = ")] + """
import sys
a = np.array([1.0, 2.0])
b = np.array([3.0, 4.0])
api = Api(1, 99, ACQ(acquire), REL(release), CNT(lambda state: 0))
name = ctypes.create_string_buffer(b"shared_borrow_registry.v1")
capsule = new(ctypes.addressof(api), ctypes.addressof(name), None)
multiarray._shared_borrow_registry = capsule
before = sys.getrefcount(capsule)
report(lambda: _quorvane.price_from_samples(a))
del multiarray._shared_borrow_registry
print(sys.getrefcount(capsule) - before)
report(lambda: _quorvane.price_from_samples(b))
"""
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        f"ok {[('acquire', 99, [1.0, 2.0], 0), ('release', 99, [1.0, 2.0], 0)]}",
        "0",  # the attribute's reference went, the module's is still there
        f"ok {[('acquire', 99, [3.0, 4.0], 0), ('release', 99, [3.0, 4.0], 0)]}",
    ]


def test_an_empty_view_inside_an_exclusively_borrowed_region_is_accepted():
    # An empty range covers no memory; the registry took its address as a point
    # inside the exclusive region and refused it.
    base = np.arange(10.0)
    with exclusive_borrow(base):
        for empty in (base[5:5], base[9:9], base[::-1][3:3]):
            assert np.isnan(q.price_from_samples(empty)).all()
            assert q.bel_weights_constant_flow(empty, 1.0, 1.0).shape == (0,)
        assert borrow_count() == 1


@pytest.mark.parametrize("dims", [1, 2])
def test_dtype_changed_during_the_call_panics_instead_of_reading_past_the_buffer(panic_type, dims):
    # A later argument's __float__ makes the float64 array a float32 one of twice
    # the length (and half the item size); it was read as float64 of that length.
    arr = np.arange(4.0) if dims == 1 else np.arange(8.0).reshape(2, 4)

    class Retype:
        def __float__(self):
            with warnings.catch_warnings():  # NumPy may deprecate setting the dtype
                warnings.simplefilter("ignore", DeprecationWarning)
                arr.dtype = np.float32
            return 1.0

    with pytest.raises(panic_type) as caught:
        if dims == 1:
            q.bel_weights_constant_flow(arr, Retype(), 1.0)
        else:
            ones = np.ones((2, 3))
            q.bel_weights_tangent_flow(arr, ones, ones, ones, ones, Retype())
    assert str(caught.value) == "array changed its data type during the call"
    assert borrow_count() == 0


def pandas_like(name):
    # Recognised by its type's name and module, as pandas objects are (the
    # module never imports pandas).
    return type(name, (), {"__module__": f"pandas.core.{name.lower()}"})()


ASTYPE = "convert it with {name}.astype(np.float64)"
ASARRAY = "convert it with np.asarray({name}, dtype=np.float64)"
RESHAPE_1 = "reshape it to 1 dimension, e.g. {name}.reshape(-1)"
RESHAPE_2 = "reshape it to 2 dimensions, one row per path, e.g. {name}.reshape(1, -1) for a single path"


@pytest.mark.parametrize("argument, dims, found", [
    (np.zeros(3, np.float32), 1, "got a float32 array with 1 dimension; " + ASTYPE),
    (np.zeros(3, np.int64), 1, "got an int64 array with 1 dimension; " + ASTYPE),
    (np.zeros((1, 1), object), 2, "got an object array with 2 dimensions; " + ASTYPE),
    (np.zeros(3, np.uint8), 1, "got a uint8 array with 1 dimension; " + ASTYPE),
    (np.zeros(3, ">f8"), 1, "got a >f8 array with 1 dimension; " + ASTYPE),
    (np.array(1.0), 1, "got a float64 array with 0 dimensions; " + RESHAPE_1),
    (np.zeros((2, 2)), 1, "got a float64 array with 2 dimensions; " + RESHAPE_1),
    (np.zeros(3), 2, "got a float64 array with 1 dimension; " + RESHAPE_2),
    (np.zeros((2, 3, 1)), 2, "got a float64 array with 3 dimensions; reshape it to 2 dimensions, "
                             "one row per path, e.g. {name}.reshape(len({name}), -1)"),
    (np.zeros(3, np.int32), 2, "got an int32 array with 1 dimension; " + ASTYPE + " and " + RESHAPE_2),
    ([1.0, 2.0], 1, "got list; " + ASARRAY),
    (pandas_like("Series"), 1, "got a pandas Series; " + ASARRAY),
    (pandas_like("DataFrame"), 2, "got a pandas DataFrame; " + ASARRAY),
    (pandas_like("DataFrame"), 1,
     "got a pandas DataFrame; convert one column with np.asarray({name}[column], dtype=np.float64)"),
    (np.float64(1.0), 1, "got float64; pass an array of one element, np.array([{name}], dtype=np.float64)"),
    (2, 2, "got int; pass an array of one element, np.array([[{name}]], dtype=np.float64)"),
    (None, 1, "got NoneType"),
])
def test_a_refused_array_notes_what_was_expected_what_was_found_and_the_fix(argument, dims, found):
    call = (lambda: q.price_from_samples(argument)) if dims == 1 else (
        lambda: q.bel_weights_tangent_flow(argument, *[np.ones((1, 1))] * 4, 1.0))
    with pytest.raises(TypeError) as caught:
        call()
    name = "samples" if dims == 1 else "states"
    assert caught.value.args == (MESSAGE.format(name=name, qualname=type(argument).__qualname__),)
    expected = (f"expected a float64 NumPy array with {dims} dimension{'s' if dims > 1 else ''}; "
                + found.format(name=name))
    if sys.version_info >= (3, 11):
        assert caught.value.__notes__ == [expected]
    else:
        assert not hasattr(caught.value, "__notes__")


BEYOND_ADDRESS_SPACE = """
import numpy as np
import _quorvane as q
as_strided = np.lib.stride_tricks.as_strided
for shape, strides in [((2**33,), (2**31,)), ((2**59,), (-2**10,)), ((2,), (-2**62,)), ((2, 2), (2**62, 2**62))]:
    a = as_strided(np.zeros(1), shape, strides)
    call = (lambda: q.price_from_samples(a)) if a.ndim == 1 else (
        lambda: q.bel_weights_tangent_flow(a, *[np.ones((2, 1))] * 4, 1.0))
    try:
        call()
    except TypeError as error:
        print(error.args[0], "|", getattr(error, "__notes__", [""])[0])
"""


def test_an_array_beyond_the_address_space_is_refused_without_overflow():
    # (extent - 1) * stride overflowed 64 bits (undefined behaviour) before any check
    out = run_python(BEYOND_ADDRESS_SPACE)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    spans = ["(8589934592,) and strides (2147483648,)", "(576460752303423488,) and strides (-1024,)",
             "(2,) and strides (-4611686018427387904,)",
             "(2, 2) and strides (4611686018427387904, 4611686018427387904)"]
    assert len(lines) == len(spans)
    for name, span, line in zip(["samples"] * 3 + ["states"], spans, lines):
        note = (" expected a float64 NumPy array whose elements lie within the address space; got shape "
                + span) if sys.version_info >= (3, 11) else " "
        assert line == MESSAGE.format(name=name, qualname="ndarray") + " |" + note


REGISTRY_THAT_CANNOT_BE_ATTACHED = """
import ctypes, os, sys, types
import numpy as np
import _quorvane as q

class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]

try:
    mallinfo2 = ctypes.CDLL("libc.so.6").mallinfo2
except (OSError, AttributeError):
    print("skip")
    sys.exit()
mallinfo2.restype = MallInfo2
try:
    q.price_from_samples([1.0])  # finds NumPy's C API; creates no registry
except TypeError:
    pass
name = "numpy._core.multiarray" if np.lib.NumpyVersion(np.__version__).major >= 2 else "numpy.core.multiarray"
real = sys.modules[name]

class Refusing(types.ModuleType):
    def __setattr__(self, key, value):
        raise RuntimeError("read-only")

sys.modules[name] = Refusing(name)
os.dup2(os.open(os.devnull, os.O_WRONLY), 2)  # one diagnostic line per failure
a = np.zeros(1)
def fail(n):
    for _ in range(n):
        try:
            q.price_from_samples(a)
        except BaseException as e:
            assert type(e).__name__ == "PanicException" and "shared borrow registry" in str(e), e
fail(1000)
before = mallinfo2().uordblks
fail(10000)
grown = mallinfo2().uordblks - before
sys.modules[name] = real
print(grown, q.price_from_samples(np.ones(2)))
"""


@pytest.mark.skipif(bool(os.environ.get("QUORVANE_SANITIZED")),
                    reason="the sanitizer's allocator keeps its own books, not glibc's")
def test_a_registry_that_cannot_be_attached_to_numpy_is_freed():
    # each failed attempt leaked the registry and its capsule's table (some 200 bytes)
    out = run_python(REGISTRY_THAT_CANNOT_BE_ATTACHED)
    assert out.returncode == 0, out.stderr
    if out.stdout.strip() == "skip":
        pytest.skip("needs glibc's mallinfo2")
    grown, result = out.stdout.split(" ", 1)
    assert int(grown) < 100 * 1000 and result.strip() == "(1.0, 0.0)"

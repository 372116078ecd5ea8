"""Weight vectors handed back to Python: a new ndarray over a buffer the module
allocated, owned through a PySliceContainer base."""

import gc
import os
import sys

import numpy as np
import pytest

import _quorvane as q

from conftest import array_bits, bit_list, ref_weights


class UserArray(np.ndarray):
    pass


@pytest.mark.parametrize("source", [
    np.array([10.0, 7.0, 0.3]),
    np.array([10.0, 7.0, 0.3]).view(UserArray),
    np.arange(9.0)[::-4],
    np.zeros(0),
], ids=["plain", "subclass", "strided", "empty"])
def test_output_array_properties(source):
    out = q.bel_weights_constant_flow(source, 1.0, 3.0)
    assert sys.getrefcount(out) == 2  # the caller holds the only reference
    assert type(out) is np.ndarray
    assert out.dtype == np.float64 and out.dtype.isnative and out.dtype.byteorder in "=<"
    assert out.ndim == 1 and out.shape == (len(source),)
    assert out.strides == (8,)
    flags = out.flags
    assert flags.c_contiguous and flags.f_contiguous and flags.aligned and flags.writeable
    assert not flags.owndata
    owner = out.base
    assert type(owner).__name__ == "PySliceContainer"
    assert type(owner).__module__ == "builtins"
    assert type(owner).__qualname__ == "PySliceContainer"
    assert "owned buffer" in type(owner).__doc__
    assert not np.shares_memory(out, source)
    assert array_bits(out) == bit_list(ref_weights(source.tolist(), 1.0, 3.0))


def test_the_owner_type_has_no_constructor():
    owner_type = type(q.bel_weights_constant_flow(np.ones(2), 1.0, 1.0).base)
    for args, kwargs in [((), {}), ((1,), {}), ((), {"x": 1})]:
        with pytest.raises(TypeError) as info:
            owner_type(*args, **kwargs)
        assert str(info.value) == "No constructor defined for PySliceContainer"
    assert type(q.bel_weights_constant_flow(np.ones(1), 2.0, 1.0).base) is owner_type
    with pytest.raises(TypeError):
        class Derived(owner_type):  # noqa: F841 - not a base type
            pass
    with pytest.raises(TypeError):
        object.__new__(owner_type)


def test_each_output_has_its_own_buffer():
    w = np.array([1.0, 2.0, 3.0])
    a = q.bel_weights_constant_flow(w, 1.0, 1.0)
    b = q.bel_weights_constant_flow(w, 1.0, 1.0)
    assert a.base is not b.base and not np.shares_memory(a, b)


def test_writing_the_output_changes_no_input_and_no_other_output():
    w = np.array([1.0, -2.0, 4.0])
    keep = w.copy()
    first = q.bel_weights_constant_flow(w, 1.0, 1.0)
    second = q.bel_weights_constant_flow(w, 1.0, 1.0)
    first[:] = 99.0
    first[1] = -0.0
    assert first.tolist() == [99.0, -0.0, 99.0]
    assert w.tolist() == keep.tolist()
    assert second.tolist() == [1.0, -2.0, 4.0]


def test_a_slice_outlives_the_deleted_output():
    n = 1 << 19  # a buffer large enough to be returned to the system when freed
    w = np.arange(n, dtype=np.float64) - 1000.5
    out = q.bel_weights_constant_flow(w, 2.0, 0.5)
    tail = out[-5:]
    step = out[::-n // 4]
    expected_tail = bit_list(ref_weights(w[-5:].tolist(), 2.0, 0.5))
    expected_step = bit_list(ref_weights(w[::-n // 4].tolist(), 2.0, 0.5))
    del out
    gc.collect()
    for _ in range(3):  # reuse whatever memory was freed
        junk = q.bel_weights_constant_flow(np.full(n, 7.0), 1.0, 1.0)
        del junk
    assert array_bits(tail) == expected_tail
    assert array_bits(step) == expected_step


def test_empty_output_still_has_its_owner():
    out = q.bel_weights_constant_flow(np.zeros(0), 1.0, 1.0)
    assert out.shape == (0,) and out.dtype == np.float64 and out.strides == (8,)
    assert type(out.base).__name__ == "PySliceContainer"
    assert out.flags.writeable and not out.flags.owndata
    out[:] = 1.0  # writes nothing
    assert out.tolist() == []
    assert (out + 1.0).tolist() == []


def test_output_can_be_used_like_any_array():
    out = q.bel_weights_constant_flow(np.array([3.0, 6.0]), 1.0, 3.0)
    assert (out * 3.0).tolist() == [3.0, 6.0]
    out.sort()
    resized = np.resize(out, 4)
    assert resized.tolist() == [1.0, 2.0, 1.0, 2.0]
    with pytest.raises(ValueError):
        out.resize(10)  # the array does not own its data


def test_each_owner_holds_one_reference_to_its_type_until_freed():
    owner_type = type(q.bel_weights_constant_flow(np.ones(1), 1.0, 1.0).base)
    gc.collect()
    before = sys.getrefcount(owner_type)
    outs = [q.bel_weights_constant_flow(np.ones(3), 1.0, 1.0) for _ in range(10)]
    assert sys.getrefcount(owner_type) == before + 10
    del outs
    gc.collect()
    assert sys.getrefcount(owner_type) == before


def _allocated_bytes():
    import ctypes
    import ctypes.util

    if os.environ.get("QUORVANE_SANITIZED"):
        pytest.skip("the sanitizer's allocator keeps its own books, not glibc's")
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError):
        pytest.skip("needs glibc's mallinfo2")

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
            "uordblks", "fordblks", "keepcost")]

    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def test_output_buffers_are_freed_with_their_arrays():
    w = np.ones(1 << 18)  # 2 MiB of doubles per output
    q.bel_weights_constant_flow(w, 1.0, 1.0)
    gc.collect()
    before = _allocated_bytes()
    outs = [q.bel_weights_constant_flow(w, 1.0, 1.0) for _ in range(20)]
    during = _allocated_bytes()
    del outs
    gc.collect()
    after = _allocated_bytes()
    assert during - before >= 20 * w.nbytes
    assert after - before < 2 * w.nbytes


HUGE = 2**58  # paths: 2 EiB of weights, which no allocator grants


def huge_call(name):
    one = np.float64(0.5)
    if name == "bel_weights_constant_flow":
        return lambda: q.bel_weights_constant_flow(np.broadcast_to(one, (HUGE,)), 1.0, 0.2)
    states = np.broadcast_to(one, (HUGE, 2))
    steps = np.broadcast_to(one, (HUGE, 1))
    return lambda: getattr(q, name)(states, steps, steps, steps, steps, 1.0)


@pytest.mark.parametrize("name", ["bel_weights_constant_flow", "bel_weights_tangent_flow",
                                  "bel_weights_tangent_flow_parallel"])
def test_impossible_allocation_raises_memory_error_saying_how_much(name, capfd):
    with pytest.raises(MemoryError) as caught:  # an Exception: no PanicException
        huge_call(name)()
    assert caught.value.args == (
        f"Unable to allocate 2.00 EiB for an array with shape ({HUGE},) and data type float64",)
    # A value, not an internal failure: nothing on stderr but, in the sanitizer
    # run, the sanitizer's own note that it returned null.
    err = [line for line in capfd.readouterr().err.splitlines()
           if "AddressSanitizer failed to allocate" not in line]
    assert err == []
    assert same_bits_as_before(name)


def same_bits_as_before(name):
    w = np.array([0.25, -1.0, 3.0])
    return array_bits(q.bel_weights_constant_flow(w, 2.0, 0.5)) == bit_list(ref_weights(w.tolist(), 2.0, 0.5))

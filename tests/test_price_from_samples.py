"""price_from_samples: plain sequential sums, population variance clamped at
zero, stderr = sqrt(var / n), bit for bit."""

import math

import numpy as np
import pytest

import _quorvane as q

from conftest import LAYOUTS, assert_worked, bit_list, make_layout, random_values, ref_mean_stderr

INF = math.inf
NAN = math.nan


@pytest.mark.parametrize("values, expected", [
    ([], (NAN, NAN)),
    ([1e200], (1e200, 0.0)),
    ([-3.5], (-3.5, 0.0)),
    ([1.0, 2.0, 3.0, 4.0], (2.5, 0.5590169943749475)),
    ([0.1] * 10, (0.09999999999999999, 7.213993642865526e-10)),
    ([0.1] * 3, (0.10000000000000002, 0.0)),
    ([1e16, 1.0, -1e16, 1.0], (0.25, 3535533905932737.5)),
    ([1.0, -1e16, 1.0, 1e16], (0.0, 3535533905932737.5)),
    ([1.0, NAN, 2.0], (NAN, 0.0)),
    ([1.0, INF, 2.0], (INF, 0.0)),
    ([INF, -INF], (NAN, 0.0)),
    ([-INF], (-INF, 0.0)),
])
def test_worked_values(values, expected):
    result = q.price_from_samples(np.array(values, dtype=np.float64))
    assert type(result) is tuple and len(result) == 2
    assert_worked(result, expected)


def test_order_is_the_logical_order_of_a_reversed_view():
    arr = np.array([1.0, -1e16, 1.0, 1e16])
    assert q.price_from_samples(arr[::-1])[0] == 0.25
    assert q.price_from_samples(arr)[0] == 0.0


def test_strided_input_equals_contiguous_input():
    base = np.arange(40.0) * 0.1
    assert bit_list(q.price_from_samples(base[::2])) == bit_list(q.price_from_samples(base[::2].copy()))


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("special_rate", [0.0, 0.05, 0.4])
def test_random_inputs_match_the_sequential_reference(layout, special_rate, rng):
    for n in (0, 1, 2, 3, 31, 200):
        values = random_values(rng, n, special_rate)
        arr = make_layout(values, layout)
        assert bit_list(q.price_from_samples(arr)) == bit_list(ref_mean_stderr(values)), values


def test_many_small_values_do_not_use_compensated_summation(rng):
    values = [rng.uniform(0.0, 1.0) for _ in range(4097)] + [1e8] + [rng.uniform(0, 1e-8) for _ in range(999)]
    expected = ref_mean_stderr(values)
    assert bit_list(q.price_from_samples(np.array(values))) == bit_list(expected)
    assert bit_list(q.price_from_samples(make_layout(values, "unaligned_reversed"))) == bit_list(expected)
    assert expected[0] != math.fsum(values) / len(values)


def test_square_overflow_and_underflow():
    assert_worked(q.price_from_samples(np.array([1e200, 1e200])), (1e200, 0.0))
    assert_worked(q.price_from_samples(np.array([1e-200, -1e-200])), (0.0, 0.0))
    assert_worked(q.price_from_samples(np.array([5e-324, 5e-324, 0.0])), ref_mean_stderr([5e-324, 5e-324, 0.0]))
    assert_worked(q.price_from_samples(np.array([1.7976931348623157e308] * 2)), (INF, 0.0))

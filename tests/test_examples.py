"""The scripts under examples/ run as documented and print what they claim."""

import importlib.util
import math
import os
import re
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import _quorvane
import quorvane

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
NUMBER = r"([-+]?\d+\.\d+)"


def has(*modules):
    return all(importlib.util.find_spec(m) is not None for m in modules)


def run_example(name, *args, cwd=None):
    """Runs examples/NAME with this interpreter, the module importable as here."""
    env = dict(os.environ)
    paths = [os.path.dirname(_quorvane.__file__), os.path.dirname(os.path.dirname(quorvane.__file__))]
    env["PYTHONPATH"] = os.pathsep.join(paths + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    done = subprocess.run([sys.executable, str(EXAMPLES / name), *args], capture_output=True,
                          text=True, env=env, cwd=cwd, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


def number_after(label, text, count=1):
    match = re.search(re.escape(label) + r"\s+" + r"\s*±\s*".join([NUMBER] * count), text)
    assert match, (label, text)
    values = [float(v) for v in match.groups()]
    return values if count > 1 else values[0]


def test_gbm_digital_delta_bel_is_unbiased_and_pathwise_is_zero():
    out = run_example("gbm_digital_delta.py")
    exact = number_after("closed form delta", out)
    bel, bel_se = number_after("BEL delta", out, 2)
    pathwise, pathwise_se = number_after("pathwise delta", out, 2)
    assert exact > 0 and bel_se > 0
    assert abs(bel - exact) < 4 * bel_se
    assert pathwise == 0.0 and pathwise_se == 0.0


def test_local_vol_delta_agrees_with_finite_differences_by_the_paired_standard_error():
    out = run_example("local_vol_delta.py")
    bel, bel_se = number_after("tangent-flow BEL delta", out, 2)
    fd, fd_se = number_after("finite difference delta", out, 2)
    gap, gap_se = number_after("difference", out, 2)
    assert 0.0 < bel < 1.0 and bel_se > 0 and fd_se > 0
    assert abs(gap - (bel - fd)) < 2e-6  # the mean of the per-path differences, as printed
    # Common random numbers correlate the two estimates: the paired standard error is
    # not the one of independent estimates (what the script reported before).
    assert 0 < gap_se < 0.9 * math.hypot(bel_se, fd_se)
    assert abs(gap) < 4 * gap_se


def test_barrier_first_window_agrees_with_central_differences_by_the_paired_standard_error():
    # The weights over the first 13 of 52 steps, for payoffs monitored from step 13 on.
    out = run_example("barrier_first_window.py")
    for name, bel_label, fd_label in (("barrier", "barrier BEL delta", "barrier central difference"),
                                      ("lookback", "lookback BEL delta", "lookback central difference"),
                                      ("lookback gamma", "lookback BEL gamma", "lookback second difference")):
        bel, bel_se = number_after(bel_label, out, 2)
        fd, fd_se = number_after(fd_label, out, 2)
        gap, gap_se = number_after(f"{name} difference", out, 2)
        assert bel > 0 and bel_se > 0 and fd_se > 0, name
        assert abs(gap - (bel - fd)) < 2e-6, name  # the mean of the per-path differences
        assert abs(gap) < 4 * gap_se, (name, out)


def test_asian_local_vol_whole_window_delta_agrees_with_central_differences_by_the_paired_standard_error():
    # An average of the path: the European weight is off by many paired standard
    # errors, the whole-window weight (fused for the call, per path for the
    # digital) within four.
    out = run_example("asian_local_vol.py")
    for name in ("call", "digital"):
        section = out[out.index(f"Asian {name} on A"):]
        bel, bel_se = number_after("whole-window BEL delta", section, 2)
        fd, fd_se = number_after("central difference", section, 2)
        gap, gap_se = number_after(f"{name} whole-window difference", section, 2)
        wrong, wrong_se = number_after(f"{name} European-weight difference", section, 2)
        assert bel > 0 and bel_se > 0 and fd_se > 0, name
        assert abs(gap - (bel - fd)) < 2e-6, name  # the mean of the per-path differences
        assert abs(gap) < 4 * gap_se, (name, out)
        assert abs(wrong) > 4 * wrong_se, (name, out)


@pytest.mark.skipif(not has("dask", "distributed"), reason="needs the dask extra")
def test_dask_delta_runs_on_a_loopback_cluster():
    out = run_example("dask_delta.py")
    assert re.search(r"LocalCluster with 2 workers at tcp://127\.0\.0\.1:\d+", out), out
    delta, delta_se = number_after("distributed delta", out, 2)
    exact = number_after("closed form", out)
    assert delta_se > 0 and abs(delta - exact) < 4 * delta_se
    capped, capped_se = number_after("capped-call delta", out, 2)
    assert 0.0 < capped < delta and capped_se > 0  # capping lowers the delta
    # delta, price and capped-call delta, each against its closed form
    distances = [float(z) for z in re.findall(r"\(([-+]\d+\.\d+) stderr\)", out)]
    assert len(distances) == 3 and all(abs(z) < 4 for z in distances), out


def test_euler_bias_ou_each_delta_matches_its_own_closed_form():
    out = run_example("euler_bias_ou.py")
    continuous = number_after("continuous closed form delta", out)
    bel, bel_se = number_after("BEL tangent-flow delta", out, 2)
    bump, bump_se = number_after("bump of the Euler scheme", out, 2)
    on_grid = [float(v) for v in re.findall(r"its closed form on this grid " + NUMBER, out)]
    assert len(on_grid) == 2 and bel_se > 0 and bump_se > 0
    assert abs(bel - on_grid[0]) < 4 * bel_se and abs(bump - on_grid[1]) < 4 * bump_se
    # BEL's expectation on the grid is within O(dt) of the continuous delta, and the bump's
    # is further off by more than BEL's own standard error: the gap is not noise.
    assert abs(on_grid[0] - continuous) < bel_se < on_grid[0] - on_grid[1]


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    length, kind = struct.unpack(">I4s", data[8:16])
    assert kind == b"IHDR" and length == 13
    assert data[-8:-4] == b"IEND"
    return struct.unpack(">II", data[16:24])


@pytest.mark.skipif(not has("matplotlib"), reason="needs matplotlib")
@pytest.mark.parametrize("where", ["argument", "option", "default"])
def test_convergence_plot_writes_a_png(tmp_path, where):
    if where in ("argument", "option"):
        target = tmp_path / "plots" / "delta.png"
        target.parent.mkdir()
        out = run_example("convergence_plot.py", *(["--out"] if where == "option" else []), str(target))
    else:
        target = tmp_path / "convergence.png"
        out = run_example("convergence_plot.py", cwd=tmp_path)
    assert f"wrote {target.name}" in out or f"wrote {target}" in out
    width, height = png_size(target)
    assert width >= 400 and height >= 300
    rows = re.findall(r"paths\s+BEL " + NUMBER + r" ± " + NUMBER + r"\s+FD " + NUMBER + r" ± " + NUMBER, out)
    assert len(rows) >= 5
    bel_bars = [float(r[1]) for r in rows]
    assert bel_bars[-1] < bel_bars[0] / 5  # the error bars shrink with the number of paths


def run_demo(*args):
    env = dict(os.environ)
    paths = [os.path.dirname(_quorvane.__file__), os.path.dirname(os.path.dirname(quorvane.__file__))]
    env["PYTHONPATH"] = os.pathsep.join(paths + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    done = subprocess.run([sys.executable, "-m", "quorvane", *args], capture_output=True, text=True, env=env,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_the_demo_agrees_with_the_closed_forms_and_parallel_matches_serial():
    out = run_demo()
    # Every estimate lies within five standard errors of its closed form.
    distances = [float(z) for z in re.findall(r"\(([-+]\d+\.\d+) stderr\)", out)]
    assert len(distances) == 9 and all(abs(z) < 5 for z in distances), out
    assert "identical bits" in out and "DIFFERENT" not in out, out


def test_demo_help_names_every_section_including_gamma_and_vega_without_running_the_demo():
    out = run_demo("--help")
    assert out.startswith("usage: python -m quorvane") and "--quick" in out, out
    assert "±" not in out and "Geometric Brownian motion:" not in out, out
    # Each public function the demo calls is named, the Greeks' ones too.
    for name in ("price_from_samples", "price_and_delta_constant_flow", "price_and_delta_tangent_flow",
                 "bel_weights_tangent_flow", "price_and_greeks_constant_flow", "price_and_greeks_tangent_flow"):
        assert name in out, (name, out)
    assert "Gamma and vega of GBM" in out and "Gamma of CEV" in out, out

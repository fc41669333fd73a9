"""The example scripts run, write their pictures where they are told, and work
without matplotlib; the dask grid reduces a chunked grid to the same extremes
as a direct evaluation of the whole grid."""
import importlib.util
import os
import re
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import tessarin_rs

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
HAVE_MPL = importlib.util.find_spec("matplotlib") is not None
HAVE_DASK = importlib.util.find_spec("dask") is not None
PLOT_HINT = "pip install 'tessarin[plot]'"

# script, small-size arguments, picture it saves (None: prints only)
SCRIPTS = [
    ("quickstart.py", [], None),
    ("phase_diagram.py", ["--points", "20"], "phase_diagram.png"),
    ("water_phase_diagram.py", ["--points", "40"], "water_phase_diagram.png"),
    ("liquid_properties.py", ["--points", "40"], "liquid_properties.png"),
    ("ice_properties.py", ["--points", "30"], "ice_properties.png"),
    ("brine.py", ["--points", "30"], "brine.png"),
    pytest.param("dask_grid.py", ["--nt", "37", "--np", "23", "--chunk", "10"], "dask_grid.png",
                 marks=pytest.mark.skipif(not HAVE_DASK, reason="dask not installed")),
]

# Makes `import matplotlib` fail inside the child, as on a machine without it;
# the script's folder leads the path, as when the script is run directly.
NO_MATPLOTLIB = ("import os, runpy, sys; sys.modules['matplotlib'] = None; "
                 "sys.argv = sys.argv[1:]; sys.path.insert(0, os.path.dirname(sys.argv[0])); "
                 "runpy.run_path(sys.argv[0], run_name='__main__')")


def load_example(name):
    # The scripts import their shared helper from their own folder, as they
    # do when run directly.
    if str(EXAMPLES) not in sys.path:
        sys.path.insert(0, str(EXAMPLES))
    spec = importlib.util.spec_from_file_location(f"example_{name}", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def run_example(script, args, cwd, block_matplotlib=False):
    env = dict(os.environ, MPLBACKEND="Agg")
    cmd = [sys.executable]
    if block_matplotlib:
        cmd += ["-c", NO_MATPLOTLIB]
    cmd += [str(EXAMPLES / script), *args]
    proc = subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, f"{' '.join(cmd)} failed:\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


def png_size(path):
    """Width and height from the header of a PNG file."""
    head = path.read_bytes()[:24]
    assert head[:8] == b"\x89PNG\r\n\x1a\n" and head[12:16] == b"IHDR", f"{path} is not a PNG"
    return struct.unpack(">II", head[16:24])


@pytest.mark.skipif(not HAVE_MPL, reason="matplotlib not installed")
@pytest.mark.parametrize("script, args, picture", SCRIPTS)
def test_script_saves_its_picture_in_outdir(script, args, picture, tmp_path):
    outdir = tmp_path / "out" / "nested"  # created by the script
    out = run_example(script, [*args, "--outdir", str(outdir)] if picture else args, tmp_path)
    assert PLOT_HINT not in out
    if picture is None:
        return
    assert sorted(p.name for p in outdir.iterdir()) == [picture]
    width, height = png_size(outdir / picture)
    assert width >= 500 and height >= 400, (script, width, height)
    assert not list(tmp_path.glob("*.png")), "picture written outside --outdir"


@pytest.mark.parametrize("script, args, picture", [s for s in SCRIPTS if s[2] is not None])
def test_script_without_matplotlib_prints_and_says_how_to_plot(script, args, picture, tmp_path):
    out = run_example(script, [*args, "--outdir", str(tmp_path / "out")], tmp_path,
                      block_matplotlib=True)
    assert PLOT_HINT in out, out
    assert re.search(r"\d+\.\d+", out), f"no numbers in the summary:\n{out}"
    assert not (tmp_path / "out").exists() and not list(tmp_path.glob("*.png"))


def printed(out, label):
    """The numbers on the output line that starts with `label` (digits
    glued to a letter, as in "kg/m3", are units, not numbers)."""
    line = next(ln for ln in out.splitlines() if ln.startswith(label))
    return [float(v.replace(",", ""))
            for v in re.findall(r"(?<![\w.])-?\d[\d,]*(?:\.\d+)?", line[len(label):])]


# Grids whose size is not a multiple of the chunk, so edge chunks are short;
# the second reaches pressures where the model's background is undefined, so
# part of the grid is NaN and must be left out of the extremes and the mean.
DASK_CASES = [
    ("holten", ["--nt", "41", "--np", "29", "--chunk", "8",
                "--tmin", "205", "--tmax", "300", "--pmin", "0.1", "--pmax", "250"]),
    ("holten", ["--nt", "17", "--np", "23", "--chunk", "5",
                "--tmin", "230", "--tmax", "330", "--pmin", "-420", "--pmax", "60"]),
    ("water1", ["--nt", "13", "--np", "11", "--chunk", "4",
                "--tmin", "250", "--tmax", "400", "--pmin", "0.1", "--pmax", "1500"]),
]


@pytest.mark.skipif(not HAVE_DASK, reason="dask not installed")
@pytest.mark.parametrize("model, args", DASK_CASES)
def test_dask_grid_matches_direct_evaluation(model, args, tmp_path):
    out = run_example("dask_grid.py", [*args, "--model", model, "--threads", "2"], tmp_path,
                      block_matplotlib=True)
    opt = dict(zip(args[::2], map(float, args[1::2])))
    t = np.linspace(opt["--tmin"], opt["--tmax"], int(opt["--nt"]))
    p = np.linspace(opt["--pmin"], opt["--pmax"], int(opt["--np"]))
    pp, tt = (a.ravel() for a in np.meshgrid(p, t, indexing="ij"))
    if model in tessarin_rs.sf_phases():
        rho = tessarin_rs.sf_getprop_grid(model, p, t)["rho"].ravel()
    else:
        rho = getattr(tessarin_rs, f"compute_batch_{model}")(tt, pp)["rho"]
    finite = np.isfinite(rho)
    assert 0 < finite.sum(), "case must have finite densities"

    count, total = printed(out, "finite densities:")[:2]
    assert (count, total) == (finite.sum(), rho.size), out
    assert printed(out, "finite densities:")[2] == pytest.approx(rho[finite].mean(), abs=1e-3)
    for label, i in (("smallest density", np.nanargmin(np.where(finite, rho, np.nan))),
                     ("largest density", np.nanargmax(np.where(finite, rho, np.nan)))):
        want = (rho[i], tt[i], pp[i])
        got = printed(out, label)
        # printed with 4 decimals (density) and 3 (state)
        assert got == pytest.approx(want, abs=1e-3), f"{label}: {got} != {want}\n{out}"


# The diagram's critical points must be the models' own: just above the
# critical pressure the upper spinodal lies a little below the critical
# temperature, just below it there is no three-root region near it.
CRITICAL_OFFSET_MPA = 0.5
UPPER_SPINODAL_BELOW_TC_K = (0.0, 0.2)
NO_SPINODAL_WITHIN_K = 5.0


@pytest.mark.parametrize("index", range(4))
def test_phase_diagram_critical_points_belong_to_their_models(index):
    model = load_example("phase_diagram").MODELS[index]
    p = np.array([model.p_c - CRITICAL_OFFSET_MPA, model.p_c + CRITICAL_OFFSET_MPA])
    spin = model.spinodal(p, model.t_c, model.p_c)
    near = {float(pk): model.t_c - tu for pk, tu in zip(spin["p_array"], spin["T_upper"])}
    lo, hi = UPPER_SPINODAL_BELOW_TC_K
    assert lo < near.get(p[1], np.nan) < hi, (model.label, model.t_c, model.p_c, near)
    assert not abs(near.get(p[0], np.inf)) < NO_SPINODAL_WITHIN_K, (model.label, near)

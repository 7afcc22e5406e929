"""The examples run: the renderer draws a shaded scene, the Dask block function
agrees bit for bit with one eval_vec call over the whole array."""

import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import tessaron

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(
    filter(None, [str(Path(tessaron.__file__).parent), os.environ.get("PYTHONPATH")]))}


def run_example(name, *args, cwd):
    return subprocess.run([sys.executable, str(EXAMPLES / name), *args], cwd=cwd, env=ENV,
                          capture_output=True, text=True, timeout=300)


@pytest.fixture(scope="module")
def dask_points():
    pytest.importorskip("dask.array")
    found = importlib.util.spec_from_file_location("dask_points", EXAMPLES / "dask_points.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


@pytest.mark.parametrize("scene", ["gallery", "voxels"])
def test_render_writes_a_shaded_image_and_a_slice(tmp_path, scene):
    plt = pytest.importorskip("matplotlib.pyplot")
    run = run_example("render.py", "--size", "40x30", "--scene", scene,
                      "--output", "out.png", "--slice", "slice.png", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert "out.png" in run.stdout and "slice.png" in run.stdout
    rgb = plt.imread(tmp_path / "out.png")[..., :3]
    assert rgb.shape == (30, 40, 3)
    assert rgb.var() > 0.005
    # The top row is sky, bluish; the scene holds warm surfaces (orange and
    # red parts), which only a hit that was shaded in its colour produces.
    assert (rgb[0, :, 2] > rgb[0, :, 0]).all()
    assert ((rgb[..., 0] - rgb[..., 2]) > 0.3).sum() >= 10
    assert plt.imread(tmp_path / "slice.png").shape[0] > 100


def test_dask_blocks_match_one_eval_vec_call(dask_points):
    import dask

    points = dask_points.point_cloud(5000, 1200, seed=3)  # uneven last chunk
    with dask.config.set(scheduler="synchronous"):
        whole = points.compute()
        chunked = dask_points.evaluate(points).compute()
    expected = dask_points.build_scene().eval_vec(whole)
    assert whole.dtype == np.float32 and np.abs(whole).max() <= dask_points.HALF
    assert chunked.dtype == np.float32 and chunked.shape == (5000,)
    assert np.array_equal(chunked.view(np.uint32), expected.view(np.uint32))
    assert (expected < 0).any() and (expected > 0).any()


def test_dask_example_on_a_process_cluster(tmp_path, dask_points):
    pytest.importorskip("distributed")
    run = run_example("dask_points.py", "--points", "20000", "--chunk", "6000", "--workers", "2",
                      cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    # The cluster's count and minimum are those of a local evaluation of the same points.
    import dask
    with dask.config.set(scheduler="synchronous"):
        dist = dask_points.evaluate(dask_points.point_cloud(20000, 6000)).compute()
    inside = int(re.search(r"inside the shape: ([\d,]+)", run.stdout)[1].replace(",", ""))
    nearest = float(re.search(r"smallest distance: (\S+)", run.stdout)[1])
    assert inside == (dist < 0).sum() > 0
    assert nearest == pytest.approx(float(dist.min()), rel=1e-5)

"""The examples run: the renderer draws a shaded scene, the Dask block function
agrees bit for bit with one eval_vec call over the whole array, meshes are
closed and in the right place, both ways of feeding process pools work with
joblib and Dask, and the README's code runs and shows only tracked files."""

import importlib.util
import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import tessaron
from tessaron import Sdf

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
ENV = {**os.environ, "MPLBACKEND": "Agg", "PYTHONPATH": os.pathsep.join(
    filter(None, [str(Path(tessaron.__file__).parent), os.environ.get("PYTHONPATH")]))}


def run_python(*args, cwd, env=ENV, timeout=300):
    """Run Python in its own process group, so that a hang ends with every
    worker process it started killed, and the test fails instead of waiting."""
    with subprocess.Popen([sys.executable, *args], cwd=cwd, env=env, text=True,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          start_new_session=True) as proc:
        try:
            out, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            if hasattr(os, "killpg"):
                os.killpg(proc.pid, signal.SIGKILL)
            else:
                proc.kill()
            out, err = proc.communicate()
            pytest.fail(f"timed out after {timeout} s:\n{err[-3000:]}")
    return subprocess.CompletedProcess(proc.args, proc.returncode, out, err)


def run_example(name, *args, cwd):
    return run_python(str(EXAMPLES / name), *args, cwd=cwd)


def load_example(name):
    """An example file as a module; its sibling modules (parts.py) import too."""
    if str(EXAMPLES) not in sys.path:
        sys.path.insert(0, str(EXAMPLES))
    found = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def dask_points():
    pytest.importorskip("dask.array")
    return load_example("dask_points")


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
    assert re.search(r"s \(([\d,]+|[1-9][\d.]*) (million )?points/s\)", run.stdout)  # not "0.0 million"
    assert dask_points.points_per_second(5 * 10**7, 2.0) == "25.0 million points/s"


# --- meshes -------------------------------------------------------------------


@pytest.fixture(scope="module")
def mesh_example():
    pytest.importorskip("skimage")
    pytest.importorskip("trimesh")
    return load_example("mesh")


def test_mesh_of_a_sphere_is_closed_in_place_and_of_the_right_volume(mesh_example):
    centre, r = (0.3, -0.2, 0.1), 0.8
    bounds = (-0.6, -1.1, -0.8, 1.3, 0.7, 1.0)  # not centred on the sphere, 1.9 x 1.8 x 1.8
    resolution = 19
    h = 1.9 / resolution
    sphere = Sdf.sphere(centre, r)

    # Small slabs, so the grid is put together from many eval_vec calls; each
    # sample [i, j, k] is the distance at (x_i, y_j, z_k).
    axes = mesh_example.grid_axes(bounds, resolution)
    assert [len(a) for a in axes] == [20, 19, 19]
    field = mesh_example.sample(sphere, axes, chunk_points=700)
    for i, j, k in [(0, 0, 0), (19, 3, 11), (5, 18, 2), (13, 7, 18)]:
        assert field[i, j, k] == np.float32(sphere.eval((axes[0][i], axes[1][j], axes[2][k])))

    mesh = mesh_example.mesh_shape(sphere, bounds, resolution, chunk_points=700)
    assert mesh.is_watertight
    # Vertices lie on grid edges where the interpolated field crosses zero:
    # within a fraction of a cell of the sphere, so the volume is off by less
    # than the surface area times half a cell.
    radii = np.linalg.norm(mesh.vertices - centre, axis=1)
    assert np.abs(radii - r).max() < h / 2
    exact = 4 / 3 * np.pi * r**3
    assert abs(mesh.volume - exact) < 4 * np.pi * r**2 * h / 2
    assert np.allclose(mesh.bounds.mean(axis=0), centre, atol=h / 2)


def test_mesh_of_a_shape_cut_by_the_bounds_is_closed(mesh_example):
    # Half of the ball lies below z = 0, outside the bounds: the cut is capped.
    mesh = mesh_example.mesh_shape(Sdf.sphere((0, 0, 0), 1.0), (-1.2, -1.2, 0.0, 1.2, 1.2, 1.2), 16)
    assert mesh.is_watertight
    assert -0.15 < mesh.bounds[0][2] < 0  # the cap, within the padding cell below z = 0
    with pytest.raises(ValueError, match="no surface inside the bounds"):
        mesh_example.mesh_shape(Sdf.sphere((5, 5, 5), 1.0), (-1, -1, -1, 1, 1, 1), 8)


def test_mesh_example_writes_a_watertight_file(tmp_path, mesh_example):
    import trimesh

    run = run_example("mesh.py", "--resolution", "24", "--output", "part.ply", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    faces = int(re.search(r"part\.ply: ([\d,]+) faces, watertight: yes", run.stdout)[1].replace(",", ""))
    mesh = trimesh.load(tmp_path / "part.ply")
    assert len(mesh.faces) == faces > 1000 and mesh.is_watertight
    # The drilled part lies within the unit ball and is symmetric about the origin.
    assert np.linalg.norm(mesh.vertices, axis=1).max() < 1.0 + 2.2 / 24
    assert np.allclose(mesh.bounds.mean(axis=0), 0, atol=2.2 / 24)
    bad = run_example("mesh.py", "--bounds", "1,2,3", cwd=tmp_path)
    assert bad.returncode == 2 and "xmin,ymin,zmin,xmax,ymax,zmax" in bad.stderr


# --- process pools ---------------------------------------------------------------

# The two ways of giving a pool a block function that uses Sdf: a function in
# an importable module (parts.part_distances), or a function in the script
# itself that imports tessaron in its body.
POOL_SCRIPT = """\
import sys
import numpy as np
import parts
from tessaron import Sdf as GlobalSdf

def inline_distances(points):
    from tessaron import Sdf
    return Sdf.sphere((0.1, 0.2, 0.3), 0.7).eval_vec(points)

def global_distances(points):
    return GlobalSdf.sphere((0.1, 0.2, 0.3), 0.7).eval_vec(points)

def check(name, chunks, results, reference):
    expected = np.concatenate([reference(c) for c in chunks])
    got = np.concatenate(results)
    assert got.dtype == np.float32 and np.array_equal(got.view(np.uint32), expected.view(np.uint32)), name
    print(name, "ok")

if __name__ == "__main__":
    chunks = np.array_split(np.random.default_rng(1).uniform(-1, 1, (3000, 3)).astype(np.float32), 5)
{body}
"""

JOBLIB_BODY = """\
    from joblib import Parallel, delayed
    with Parallel(n_jobs=2, timeout=60) as pool:
        for name, fn in [("module", parts.part_distances), ("inline", inline_distances)]:
            check(name, chunks, pool(delayed(fn)(c) for c in chunks), fn)
"""

DASK_BODY = """\
    from distributed import Client, LocalCluster
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        for name, fn in [("module", parts.part_distances), ("inline", inline_distances)]:
            futures = client.map(fn, chunks, pure=False)
            check(name, chunks, client.gather(futures), fn)
"""

# The stdlib pool pickles every function by name, so a script's function that
# uses a global Sdf works there too (in a spawned worker, as on Windows and macOS).
STDLIB_BODY = """\
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        for name, fn in [("module", parts.part_distances), ("inline", inline_distances),
                         ("global", global_distances)]:
            check(name, chunks, list(pool.map(fn, chunks, timeout=60)), fn)
"""


@pytest.mark.parametrize("library, body, names", [
    ("joblib", JOBLIB_BODY, ["module", "inline"]),
    ("distributed", DASK_BODY, ["module", "inline"]),
    ("concurrent.futures", STDLIB_BODY, ["module", "inline", "global"]),
], ids=["joblib", "dask", "stdlib"])
def test_process_pools_run_the_documented_kinds_of_block_function(tmp_path, library, body, names):
    pytest.importorskip(library)
    (tmp_path / "pool.py").write_text(POOL_SCRIPT.format(body=body))
    env = {**ENV, "PYTHONPATH": os.pathsep.join([str(EXAMPLES), ENV["PYTHONPATH"]])}
    run = run_python("pool.py", cwd=tmp_path, env=env, timeout=180)
    assert run.returncode == 0, run.stderr[-3000:]
    assert run.stdout.split() == [word for name in names for word in (name, "ok")]


def test_joblib_example_estimates_the_parts_volume(tmp_path):
    pytest.importorskip("joblib")
    run = run_example("joblib_points.py", "--points", "30000", "--chunk", "7000", "--jobs", "2",
                      cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert "30,000 points in 5 chunks on 2 worker processes" in run.stdout
    assert re.search(r"s \(([\d,]+|[1-9][\d.]*) (million )?points/s\)", run.stdout)  # not "0.0 million"
    parts = load_example("parts")
    lo, hi = np.array(parts.CSG_BOUNDS[:3]), np.array(parts.CSG_BOUNDS[3:])
    rng = np.random.default_rng(0)
    pts = np.concatenate([(lo + (hi - lo) * rng.random((n, 3))).astype(np.float32)
                          for n in [7000] * 4 + [2000]])
    inside = int(re.search(r"inside the part: ([\d,]+)", run.stdout)[1].replace(",", ""))
    assert inside == (parts.csg_part().eval_vec(pts) < 0).sum() > 0


# --- the README -------------------------------------------------------------------

README = (ROOT / "README.md").read_text()


def readme_section(title):
    """The text of one '## title' section of the README."""
    return re.search(rf"^## {re.escape(title)}\n(.*?)(?=^## |\Z)", README, re.M | re.S)[1]


def test_readme_refers_only_to_files_the_repository_tracks():
    try:
        tracked = subprocess.run(["git", "ls-files"], cwd=ROOT, capture_output=True, text=True,
                                 check=True, timeout=60).stdout.split()
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("not a git checkout")
    if not tracked:
        pytest.skip("not a git checkout")
    links = re.findall(r"\]\(([^)\s#]+)\)", README)
    paths = re.findall(r"\b(?:docs|examples|bench|tools|tests|stubs|src|\.github)/[\w./-]*\w\.\w+", README)
    files = {p for p in links + paths if "://" not in p}
    assert any(p.endswith(".png") for p in files) and "examples/mesh.py" in files
    assert sorted(files - set(tracked)) == []


def test_readme_quickstart_and_recipes_run(tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    pytest.importorskip("skimage")
    pytest.importorskip("trimesh")
    monkeypatch.setenv("MPLBACKEND", "Agg")
    monkeypatch.chdir(tmp_path)
    blocks = [block for title in ["Quickstart", "Recipes"]
              for block in re.findall(r"```python\n(.*?)```", readme_section(title), re.S)]
    assert len(blocks) == 7
    namespace: dict = {}
    for block in blocks:
        exec(compile(block, "README.md", "exec"), namespace)
    # The recipes write a slice plot and a mesh.
    assert (tmp_path / "slice.png").stat().st_size > 1000
    import trimesh
    assert trimesh.load(tmp_path / "shape.stl").is_watertight


def test_readme_common_mistakes_raise_what_it_says():
    rows = re.findall(r"^\| [^|]*`([^`]+)` \| `([^`]+)` \|$", readme_section("Common mistakes"), re.M)
    assert len(rows) == 5
    namespace = {"np": np, "Sdf": Sdf, "shape": Sdf.sphere((0, 0, 0), 1.0)}
    for code, expected in rows:
        with pytest.raises(BaseException) as caught:
            eval(code, namespace)
        kind = type(caught.value)
        module = "" if kind.__module__ == "builtins" else kind.__module__ + "."
        assert f"{module}{kind.__name__}: {caught.value}" == expected, code
    assert not issubclass(kind, Exception)  # the last row: PanicException

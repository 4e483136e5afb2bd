"""`pip install ./python` works offline and gives a pure-Python package that
finds the library through ZV_RUNTIME_LIBRARY."""
import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import zv_runtime

PACKAGE = Path(__file__).resolve().parent.parent


def run(*cmd, env=None, cwd=None):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, env=env, cwd=cwd)


def test_pip_install_gives_a_pure_wheel_that_loads_the_library(tmp_path):
    # Build from a copy so that the source tree gets no build/ or egg-info.
    src = tmp_path / "src"
    shutil.copytree(PACKAGE, src, ignore=shutil.ignore_patterns(
        "build", "*.egg-info", "__pycache__", "tests", "examples"))
    pip = [sys.executable, "-m", "pip", "--disable-pip-version-check", "--no-cache-dir"]
    run(*pip, "wheel", "--no-build-isolation", "--no-deps", "--no-index",
        "-w", str(tmp_path / "dist"), str(src))
    wheels = list((tmp_path / "dist").glob("*.whl"))
    assert [w.name for w in wheels] == ["zv_runtime-1.0.0-py3-none-any.whl"]
    names = zipfile.ZipFile(wheels[0]).namelist()
    assert "zv_runtime/__init__.py" in names
    assert not [n for n in names if n.endswith((".so", ".pyd"))]

    target = tmp_path / "site"
    run(*pip, "install", "--no-deps", "--no-index", "--target", str(target), str(wheels[0]))
    env = dict(os.environ, PYTHONPATH=str(target), ZV_RUNTIME_LIBRARY=zv_runtime.library_path())
    script = ("import numpy as np, zv_runtime as z; ix = z.Index(2); "
              "ix.build(np.array([[1, 0], [0, 1]], np.float32), [4, 9]); "
              "print(z.__file__, ix.search(np.array([0, 2], np.float32), 1).ids[0])")
    # cwd matters: `python -c` puts it first on sys.path.
    out = run(sys.executable, "-c", script, env=env, cwd=tmp_path).stdout.split()
    assert out[0].startswith(str(target)) and out[1] == "9"


def test_missing_library_is_a_clear_import_error(tmp_path):
    env = dict(os.environ, PYTHONPATH=str(PACKAGE),
               ZV_RUNTIME_LIBRARY=str(tmp_path / "nowhere" / "libzv_runtime.so"))
    proc = subprocess.run([sys.executable, "-c", "import zv_runtime"], capture_output=True,
                          text=True, env=env, cwd=tmp_path)
    assert proc.returncode != 0
    assert "ZV_RUNTIME_LIBRARY" in proc.stderr and "nowhere" in proc.stderr

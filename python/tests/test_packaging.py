"""Installing the package as a user would, and finding the library."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import zv_runtime

ROOT = Path(__file__).resolve().parents[2]
CHECK = ("import numpy as np, zv_runtime as z; ix = z.Index(2); "
         "ix.build(np.array([[1, 0], [0, 1]], np.float32), [4, 9]); "
         "print(z.__file__, z.library_path(), ix.search(np.array([0, 2], np.float32), 1).ids[0])")


def clean_copy(dst: Path) -> None:
    """The files a fresh clone has (plus new, unignored ones), nothing built."""
    try:
        listed = subprocess.run(["git", "-C", str(ROOT), "ls-files", "-z", "--cached", "--others",
                                 "--exclude-standard"], check=True, capture_output=True).stdout
        files = [f for f in listed.decode().split("\0") if f and (ROOT / f).is_file()]
    except (OSError, subprocess.CalledProcessError):  # not a git checkout
        shutil.copytree(ROOT, dst, ignore=shutil.ignore_patterns(
            ".git", "build", "build-*", "__pycache__", "*.egg-info"))
        return
    for f in files:
        (dst / f).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(ROOT / f, dst / f)


@pytest.mark.skipif(os.environ.get("ZV_SKIP_INSTALL_TEST") == "1",
                    reason="ZV_SKIP_INSTALL_TEST=1")
def test_pip_install_in_a_venv_ships_the_library(tmp_path):
    # The steps of the README, from a clean copy, with nothing from PyPI:
    # the venv sees Debian's NumPy, setuptools and wheel.
    src, venv, elsewhere = tmp_path / "src", tmp_path / "venv", tmp_path / "elsewhere"
    clean_copy(src)
    elsewhere.mkdir()
    env = {k: v for k, v in os.environ.items() if k not in ("ZV_RUNTIME_LIBRARY", "PYTHONPATH")}
    env.update(PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_CACHE_DIR="1")

    def run(*cmd, cwd):
        proc = subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True)
        assert proc.returncode == 0, f"{cmd}\n{proc.stdout[-3000:]}\n{proc.stderr[-3000:]}"
        return proc.stdout

    run(sys.executable, "-m", "venv", "--system-site-packages", str(venv), cwd=src)
    run(str(venv / "bin" / "pip"), "install", "--no-build-isolation", "./python", cwd=src)
    module, library, best = run(str(venv / "bin" / "python"), "-c", CHECK, cwd=elsewhere).split()
    site = str(venv / "lib")
    assert module.startswith(site) and library.startswith(site) and best == "9"
    assert Path(library).name == "libzv_runtime.so.1"


def test_a_relative_library_path_means_the_same_file_in_child_processes(tmp_path):
    lib = Path(zv_runtime.library_path())
    assert lib.is_absolute()
    # Started next to the library with a relative path; its child, started
    # elsewhere, must load the same file.
    child = ("import subprocess, sys, zv_runtime as z; print(z.library_path()); "
             f"sys.stdout.flush(); subprocess.run([sys.executable, '-c', {CHECK!r}], "
             f"cwd={str(tmp_path)!r}, check=True)")
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"),
               ZV_RUNTIME_LIBRARY=os.path.join(".", lib.name))
    out = subprocess.run([sys.executable, "-c", child], cwd=lib.parent, env=env, check=True,
                         capture_output=True, text=True).stdout.split()
    assert out[0] == out[2] == str(lib) and out[3] == "9"


def test_missing_library_is_a_clear_import_error(tmp_path):
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"),
               ZV_RUNTIME_LIBRARY=str(tmp_path / "nowhere" / "libzv_runtime.so"))
    proc = subprocess.run([sys.executable, "-c", "import zv_runtime"], capture_output=True,
                          text=True, env=env, cwd=tmp_path)
    assert proc.returncode != 0
    assert "ZV_RUNTIME_LIBRARY" in proc.stderr and "nowhere" in proc.stderr

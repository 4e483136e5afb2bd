"""The README's examples and the Python demo run as written, so they cannot
drift from the library."""
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np

from oracle import fma_scores

ROOT = Path(__file__).resolve().parents[2]


def blocks(lang):
    return re.findall(rf"```{lang}\n(.*?)```", (ROOT / "README.md").read_text(), re.S)


def test_readme_python_example_runs(tmp_path):
    (code,) = [b for b in blocks("python") if "import zv_runtime" in b]
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                          cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr


def test_readme_c_example_is_the_compiled_quickstart():
    # examples/quickstart.c is built and run by the test suite.
    (code,) = [b for b in blocks("c") if "int main" in b]
    assert code == (ROOT / "examples" / "quickstart.c").read_text()


def test_python_demo_runs(tmp_path):
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
    proc = subprocess.run([sys.executable, str(ROOT / "python" / "examples" / "demo.py"), "5000"],
                          capture_output=True, text=True, env=env, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert "recall@10" in proc.stdout and "visible rows from 2020" in proc.stdout


def test_guide_numpy_recipe_rounds_like_the_library(rng):
    guide = (ROOT / "docs" / "guide.md").read_text()
    (code,) = re.findall(r"```python\n(.*?)```", guide, re.S)
    scope = {}
    exec(code, scope)
    q = np.array([1, 2**-24 * (1 + 2**-15)], np.float32)
    rows = np.array([[1 + 2**-23, 1 - 2**-15]], np.float32)
    assert scope["zv_scores"](rows, q).view(np.uint32).tolist() == [1065353217]
    rows = rng.standard_normal((500, 33)).astype(np.float32)
    q = rng.standard_normal(33).astype(np.float32)
    assert scope["zv_scores"](rows, q).tobytes() == fma_scores(rows, q).tobytes()

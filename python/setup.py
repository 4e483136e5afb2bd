"""Builds libzv_runtime.so with CMake from the source tree this package sits
in and ships it inside the package, so an installed zv_runtime needs no
environment variable. Only the library is built (no tests, no examples), so
neither GoogleTest nor any other test dependency is needed.

    python3 -m venv --system-site-packages .venv
    .venv/bin/pip install --no-build-isolation ./python

ZV_RUNTIME_SOURCE_DIR names another source tree; CMAKE_BUILD_PARALLEL_LEVEL
sets the build's job count (default: the number of CPUs).
"""
import os
import shutil
import subprocess
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

HERE = Path(__file__).resolve().parent
SOURCE = Path(os.environ.get("ZV_RUNTIME_SOURCE_DIR") or HERE.parent).resolve()
LIBRARY = "libzv_runtime.so.1"


class BinaryDistribution(Distribution):
    """The wheel carries a native library, so it is tagged for this platform."""

    def has_ext_modules(self):
        return True


class BuildWithLibrary(build_py):
    """The usual Python files, plus the library built by CMake."""

    def run(self):
        super().run()
        if not (SOURCE / "CMakeLists.txt").is_file() or not (SOURCE / "engine" / "zv_runtime.h").is_file():
            raise SystemExit(f"zv_runtime: no zv_runtime source tree at {SOURCE}; install from "
                             "the python/ folder of a checkout or set ZV_RUNTIME_SOURCE_DIR")
        cmake = shutil.which("cmake")
        if cmake is None:
            raise SystemExit("zv_runtime: building the library needs cmake (apt-get install cmake)")
        build = Path(self.get_finalized_command("build").build_temp).resolve() / "cmake"
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.check_call([cmake, "-S", str(SOURCE), "-B", str(build),
                               "-DCMAKE_BUILD_TYPE=Release", "-DZV_BUILD_TESTS=OFF",
                               "-DZV_BUILD_EXAMPLES=OFF", "-DZV_BUILD_BENCH=OFF"])
        subprocess.check_call([cmake, "--build", str(build), "--target", "zv_runtime",
                               "--parallel", jobs])
        target = Path(self.build_lib) / "zv_runtime" / LIBRARY
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(build / "engine" / LIBRARY, target)  # the file, not the symlink


setup(distclass=BinaryDistribution, cmdclass={"build_py": BuildWithLibrary})

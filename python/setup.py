"""Builds the package with the project's own CMake: the extension _tarniff and the module file
TnIffFormat.so, both placed inside the package. Nothing is fetched: setuptools, pybind11 and
NumPy come from the system (pip install --no-build-isolation).

Environment:
    TARNIFF_BUILD_DIR    the CMake build directory (default: below setuptools' build folder)
    TARNIFF_CMAKE_ARGS   more arguments for CMake's configure step, split on blanks
"""

import glob
import os
import shlex
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)


class CMakeBuild(build_ext):
    """Runs CMake on the repository instead of compiling anything itself."""

    def build_extension(self, ext):
        build_dir = os.environ.get("TARNIFF_BUILD_DIR") or os.path.join(os.path.abspath(self.build_temp), "cmake")
        configure = [
            "cmake", "-S", SOURCE, "-B", build_dir,
            "-DCMAKE_BUILD_TYPE=Release",
            "-DTNIFF_PYTHON=ON",
            "-DTNIFF_BUILD_TESTS=OFF",
            "-DTNIFF_GIMP_PLUGIN=OFF",
            "-DTNIFF_PIXBUF_LOADER=OFF",
            f"-DPython_EXECUTABLE={sys.executable}",
        ]
        try:
            import pybind11
            configure.append(f"-Dpybind11_DIR={pybind11.get_cmake_dir()}")
        except ImportError:
            pass  # pybind11-dev's CMake files are found on their own
        configure += shlex.split(os.environ.get("TARNIFF_CMAKE_ARGS", ""))
        subprocess.check_call(configure)
        jobs = str(os.cpu_count() or 1)
        subprocess.check_call(["cmake", "--build", build_dir, "--target", "_tarniff", "-j", jobs])

        built = os.path.join(build_dir, "python", "tarniff")
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        extensions = glob.glob(os.path.join(built, "_tarniff*.so"))
        if len(extensions) != 1:
            raise RuntimeError(f"expected one _tarniff extension in {built}, found {extensions}")
        shutil.copyfile(extensions[0], target)
        module_dir = os.path.join(os.path.dirname(target), "module")
        os.makedirs(module_dir, exist_ok=True)
        shutil.copyfile(os.path.join(built, "module", "TnIffFormat.so"), os.path.join(module_dir, "TnIffFormat.so"))


setup(
    ext_modules=[Extension("tarniff._tarniff", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    packages=["tarniff"],
    package_data={"tarniff": ["*.pyi", "py.typed"]},
    zip_safe=False,
)

# SPDX-License-Identifier: BSD-3-Clause
# The Python package (python/dyadfit) and its extension, which compiles the
# binding (python/src) with the core's sources: the ones CMakeLists.txt lists
# in DYADFIT_CORE_SOURCES, so that there is one list.
import re
from pathlib import Path

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension, build_ext
from setuptools import setup

ROOT = Path(__file__).resolve().parent
CMAKE = ROOT / "CMakeLists.txt"


def cmake_text():
    if not CMAKE.is_file():
        raise SystemExit(f"dyadfit: {CMAKE} not found; build from a checkout: pip install .")
    return CMAKE.read_text()


def core_sources(text):
    match = re.search(r"^[ \t]*set\(DYADFIT_CORE_SOURCES\b(.*?)\)", text, re.S | re.M)
    if not match:
        raise SystemExit("dyadfit: no DYADFIT_CORE_SOURCES list in CMakeLists.txt")
    words = re.sub(r"#[^\n]*", "", match.group(1)).split()
    for w in words:
        if not w.endswith(".cc") or not (ROOT / w).is_file():
            raise SystemExit(f"dyadfit: DYADFIT_CORE_SOURCES names '{w}', which is no C++ source file of the checkout")
    return words


def version(text):
    match = re.search(r"^project\(dyadfit VERSION ([0-9][0-9.]*)", text, re.M)
    if not match:
        raise SystemExit("dyadfit: no 'project(dyadfit VERSION x.y.z ...)' line in CMakeLists.txt")
    return match.group(1)


text = cmake_text()
ParallelCompile("DYADFIT_BUILD_JOBS", default=2).install()
core = Pybind11Extension(
    "dyadfit._core",
    ["python/src/binding.cc"] + core_sources(text),
    include_dirs=["."],
    cxx_std=20,
    # Results are compared bit for bit with the other hosts: no FMA contraction.
    extra_compile_args=["-O3", "-ffp-contract=off", "-fno-fast-math", "-Wall", "-Wextra"],
    libraries=["lapack", "blas"],
)

# build/ is CMake's: setuptools builds beside it.
setup(
    version=version(text),
    ext_modules=[core],
    cmdclass={"build_ext": build_ext},
    options={"build": {"build_base": "build-python"}},
    zip_safe=False,
)

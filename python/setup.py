"""Builds edgeseg._core from the project's C++ sources.

The extension compiles the core, both commands' kernels and the host-neutral
API from the checkout this folder sits in, with the flags every build of the
commands uses: C++17, optimised, and no fused multiply-add contraction, since
the labels depend on every rounding step. Each source folder is compiled as
one translation unit, as the Octave package's Makefile does: most of a
source's compile time is the image library's header, paid once per folder.
"""
import os
from pathlib import Path

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension
from setuptools import setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
SOURCE_FOLDERS = ["core", "sorvik", "tamvel", "api"]
CIMG_INCLUDE_DIR = os.environ.get("CIMG_INCLUDE_DIR", "/usr/include")

if not (ROOT / "core").is_dir():
    raise SystemExit(
        "edgeseg builds from a checkout of the whole project: expected the C++ sources in "
        f"{ROOT}/core (build from python/ inside the clone, or pip install ./python from its root)"
    )


def folder_sources(folder):
    return sorted((ROOT / folder).glob("*.cpp"))


def headers():
    found = [path for folder in SOURCE_FOLDERS + ["include/edgeseg"] for path in (ROOT / folder).glob("*.h")]
    return sorted(found + list((HERE / "src").glob("*.h")))


class build_folder_units(build_ext):
    """Writes one source per folder that includes the folder's files, then builds.

    The extension's own sources (src/) make one more unit. A unit is
    rewritten only when its list of files changes, so that an unchanged tree
    is not compiled again. The interpreter's flags ask for debug information,
    which is a third of the compile time of these templates and which nobody
    steps through in an installed package: it is left out, except in the
    sanitizer build, whose reports need it.
    """

    def build_extensions(self):
        units_dir = Path(self.build_temp).resolve() / "units"
        units_dir.mkdir(parents=True, exist_ok=True)
        folders = {folder: folder_sources(folder) for folder in SOURCE_FOLDERS}
        folders["extension"] = sorted((HERE / "src").glob("*.cpp"))
        units = []
        for folder, sources in folders.items():
            unit = units_dir / f"{folder}_all.cpp"
            text = "".join(f'#include "{source}"\n' for source in sources)
            if not unit.exists() or unit.read_text() != text:
                unit.write_text(text)
            units.append(str(unit))
        for extension in self.extensions:
            extension.sources = units
        if not sanitize:
            self.compiler.compiler_so = [flag for flag in self.compiler.compiler_so if flag != "-g"]
        super().build_extensions()


# The units compile side by side, one job a core (EDGESEG_BUILD_JOBS=n for
# fewer); an unchanged extension is not rebuilt at all, a changed one in full.
ParallelCompile("EDGESEG_BUILD_JOBS", default=0).install()

sanitize = os.environ.get("EDGESEG_SANITIZE") == "1"
compile_flags = ["-O3", "-fno-math-errno", "-ffp-contract=off", "-fno-openmp", "-pthread"]
link_flags = ["-pthread"]
if sanitize:
    # For the tests under AddressSanitizer: the interpreter then needs the
    # runtime preloaded (LD_PRELOAD), since it is not built with it.
    compile_flags += ["-fsanitize=address,undefined", "-fno-omit-frame-pointer", "-g"]
    link_flags += ["-fsanitize=address,undefined"]

core_extension = Pybind11Extension(
    "edgeseg._core",
    sources=[str(path.relative_to(HERE)) for path in sorted((HERE / "src").glob("*.cpp"))],
    include_dirs=[str(ROOT), str(ROOT / "include"), CIMG_INCLUDE_DIR],
    depends=[str(path) for path in headers() + [s for f in SOURCE_FOLDERS for s in folder_sources(f)]]
    + [str(path) for path in sorted((HERE / "src").glob("*.cpp"))],
    cxx_std=17,
    extra_compile_args=compile_flags,
    extra_link_args=link_flags,
    language="c++",
)

# The instrumented objects go to a folder of their own, beside the plain ones.
options = {"build": {"build_base": "build-sanitize"}} if sanitize else {}
setup(ext_modules=[core_extension], cmdclass={"build_ext": build_folder_units}, options=options)

"""Builds korvel's wheel: the Python package with the built library inside,
and the yyjson that library loads (with yyjson's license), so that the wheel
installs and runs on a machine that has neither.

The library comes from KORVEL_BUILD_DIR (default: ../build, the dev preset's
tree); yyjson is the libyyjson.so.0 the dynamic loader resolves for it. The
library's RUNPATH ($ORIGIN) finds the copy beside it.
"""
import os
import re
import shutil
import subprocess
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

try:  # setuptools 70.1 took the command over from wheel
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:
    from wheel.bdist_wheel import bdist_wheel

HERE = Path(__file__).resolve().parent
LIBRARY = "brenvic-korvel-sleep-blocker.so"
YYJSON = "libyyjson.so.0"
YYJSON_LICENSE = Path("/usr/share/doc/libyyjson0/copyright")


def built_library() -> Path:
    library = Path(os.environ.get("KORVEL_BUILD_DIR", HERE.parent / "build")) / LIBRARY
    if not library.is_file():
        raise SystemExit(f"{library} not found: python/build-wheel.sh builds the library and the wheel; "
                         "or set KORVEL_BUILD_DIR to a build tree with the library built")
    return library


def resolved_yyjson(library: Path) -> Path:
    out = subprocess.run(["ldd", str(library)], check=True, capture_output=True, text=True).stdout
    found = re.search(r"^\s*" + re.escape(YYJSON) + r" => (/\S+)", out, re.M)
    if not found:
        raise SystemExit(f"{YYJSON} not found for {library}: install libyyjson0 (scripts/install-deps.sh)")
    return Path(found.group(1))


def strip_debug_info(path: Path) -> None:
    """A RelWithDebInfo build's library is mostly debug information."""
    if shutil.which("strip"):
        subprocess.run(["strip", "--strip-debug", str(path)], check=True)


class build_py_with_library(build_py):
    def run(self) -> None:
        super().run()
        if not YYJSON_LICENSE.is_file():
            raise SystemExit(f"{YYJSON_LICENSE} not found: the wheel must carry yyjson's license")
        package = Path(self.build_lib) / "korvel"
        library = built_library()
        shutil.copy(library, package / LIBRARY)
        strip_debug_info(package / LIBRARY)
        shutil.copy(resolved_yyjson(library), package / YYJSON)
        shutil.copy(YYJSON_LICENSE, package / "yyjson.copyright")


class native_distribution(Distribution):
    """The package carries native code, so its wheel is a platform wheel
    installed into platlib."""

    def has_ext_modules(self) -> bool:
        return True


class platform_wheel(bdist_wheel):
    """No Python extension inside: any Python 3 on this platform can load it.
    The library needs nothing newer than glibc 2.28 (the build's symbol
    baseline test checks it), hence manylinux_2_28."""

    def get_tag(self):
        platform = super().get_tag()[2]
        if platform.startswith("linux_"):
            platform = "manylinux_2_28_" + platform[len("linux_"):]
        return "py3", "none", platform


setup(distclass=native_distribution,
      cmdclass={"build_py": build_py_with_library, "bdist_wheel": platform_wheel})

"""The Python module mirlune, built by the project's CMake: pip install --no-build-isolation .

Needs Debian's cmake, g++, pybind11-dev, python3-dev, libnifti2-dev, libsigc++-2.0-dev,
libeigen3-dev and nlohmann-json3-dev (scripts/install-deps.sh python), and numpy."""
import os
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))
os.makedirs(os.path.join(ROOT, "build-python"), exist_ok=True)


def version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(Mirlune VERSION ([0-9.]+)", f.read()).group(1)


class CMakeBuild(build_ext):
    """Configures and builds the _mirlune target, then puts the module where setuptools wants it."""

    def build_extension(self, ext):
        build = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        subprocess.check_call(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF",
                               f"-DPython3_EXECUTABLE={sys.executable}"])
        subprocess.check_call(["cmake", "--build", build, "--target", "_mirlune", "-j", str(os.cpu_count() or 2)])
        built = os.path.join(build, "python", "mirlune")
        module = next(name for name in os.listdir(built) if name.startswith("_mirlune") and name.endswith(".so"))
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.join(built, module), target)


setup(
    name="mirlune",
    version=version(),
    description="Local principal component analysis of dynamic image series (PET, fMRI, diffusion)",
    packages=["mirlune"],
    package_dir={"mirlune": "python/mirlune"},
    package_data={"mirlune": ["py.typed"]},
    ext_modules=[Extension("mirlune._mirlune", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    install_requires=["numpy"],
    extras_require={"images": ["nibabel"]},
    python_requires=">=3.9",
    # Kept out of the project's own build folder and off the source tree.
    options={"build": {"build_base": "build-python"}, "egg_info": {"egg_base": "build-python"}},
)

"""The build backend of the `corvantine` package, in the standard library only.

pip and `python3 -m build` call the hooks below. A wheel holds the extension
module as our CMake builds it, in release, plus the type stubs beside it. The
backend writes the wheel itself rather than through setuptools: the
setuptools that a fresh virtual environment carries cannot write wheels
without the separate `wheel` package, and there is no PyPI to fetch it from.

Config setting `build-dir` names the CMake build directory (default
build/package). A directory that is already configured is only built, with
its own options; a new one is configured without tests and benchmarks.
"""

import base64
import hashlib
import io
import re
import shutil
import subprocess
import sysconfig
import tarfile
import tempfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
NAME = "corvantine"
SUMMARY = "An embedded append-only event store"
TAG = "cp310-abi3-" + re.sub(r"[-.]", "_", sysconfig.get_platform())
EXTENSION = f"{NAME}.abi3.so"
STUBS = Path("python/stubs")
SDIST_PARTS = ["CMakeLists.txt", "pyproject.toml", "README.md", "core", "python"]


def version():
    """The module's __version__, read from the one place that sets it."""
    source = (ROOT / "python/src/module.cc").read_text()
    return re.search(r'"__version__",\s*"([^"]+)"', source).group(1)


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    info = Path(metadata_directory) / dist_info()
    info.mkdir(parents=True, exist_ok=True)
    for name, text in metadata_files().items():
        (info / name).write_text(text)
    return info.name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    extension = build_extension(build_dir(config_settings))
    name = f"{NAME}-{version()}-{TAG}.whl"
    with tempfile.TemporaryDirectory() as scratch:
        stripped = Path(scratch) / EXTENSION
        strip_debug_info(extension, stripped)
        files = {EXTENSION: stripped.read_bytes()}
        for stub in sorted((ROOT / STUBS).rglob("*.pyi")):
            files[stub.relative_to(ROOT / STUBS).as_posix()] = stub.read_bytes()
        for meta, text in metadata_files().items():
            files[f"{dist_info()}/{meta}"] = text.encode()
        write_wheel(Path(wheel_directory) / name, files)
    return name


def build_sdist(sdist_directory, config_settings=None):
    base = f"{NAME}-{version()}"
    name = f"{base}.tar.gz"
    with tarfile.open(Path(sdist_directory) / name, "w:gz") as tar:
        for part in SDIST_PARTS:
            tar.add(ROOT / part, f"{base}/{part}", filter=without_build_products)
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        metadata = metadata_files()["METADATA"].encode()
        info.size = len(metadata)
        tar.addfile(info, io.BytesIO(metadata))
    return name


def build_dir(config_settings):
    setting = (config_settings or {}).get("build-dir", "build/package")
    return (ROOT / setting).resolve()


def build_extension(directory):
    """Builds only the extension target; configures the directory if new."""
    if not (directory / "CMakeCache.txt").exists():
        run(["cmake", "-S", ROOT, "-B", directory, "-G", "Ninja",
             "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCORVANTINE_TESTS=OFF",
             "-DCORVANTINE_BENCH=OFF"])
    run(["cmake", "--build", directory, "--target", NAME])
    return directory / "python" / EXTENSION


def strip_debug_info(source, target):
    """The release build keeps debug info, a hundred times the code's size."""
    if shutil.which("strip"):
        run(["strip", "--strip-debug", "-o", target, source])
    else:
        shutil.copyfile(source, target)


def run(command):
    subprocess.run([str(part) for part in command], check=True, cwd=ROOT)


def dist_info():
    return f"{NAME}-{version()}.dist-info"


def metadata_files():
    return {
        "METADATA": (f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {version()}\n"
                     f"Summary: {SUMMARY}\nRequires-Python: >=3.10\n"),
        "WHEEL": (f"Wheel-Version: 1.0\nGenerator: {NAME}_build\n"
                  f"Root-Is-Purelib: false\nTag: {TAG}\n"),
        "top_level.txt": f"{NAME}\n",
    }


def write_wheel(path, files):
    """A zip of the files and a RECORD of their hashes, RECORD last."""
    record = f"{dist_info()}/RECORD"
    lines = [f"{name},sha256={digest(data)},{len(data)}" for name, data in files.items()]
    lines.append(f"{record},,")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in files.items():
            wheel.writestr(zip_entry(name), data)
        wheel.writestr(zip_entry(record), "\n".join(lines) + "\n")


def zip_entry(name):
    entry = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
    mode = 0o755 if name.endswith(".so") else 0o644
    entry.external_attr = (0o100000 | mode) << 16
    entry.compress_type = zipfile.ZIP_DEFLATED
    return entry


def digest(data):
    raw = hashlib.sha256(data).digest()
    return base64.urlsafe_b64encode(raw).rstrip(b"=").decode()


def without_build_products(info):
    parts = Path(info.name).parts
    return None if "__pycache__" in parts or info.name.endswith(".pyc") else info


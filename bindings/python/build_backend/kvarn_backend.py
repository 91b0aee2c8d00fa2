"""A PEP 517 backend for this one pure-Python package: it writes a wheel of
src/kvarn_rcvr/ (module files and the py.typed marker) with the metadata of
pyproject.toml, using only the standard library. Offline hosts and Pythons
without setuptools or wheel install the package all the same."""

import base64
import hashlib
import io
import os
import re
import tarfile
import zipfile

_HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_PACKAGE = "kvarn_rcvr"


def _project():
    """name, version, summary and requires-python from the [project] table
    (Python 3.8 has no tomllib; the table holds plain strings only)."""
    text = open(os.path.join(_HERE, "pyproject.toml"), encoding="utf-8").read()
    table = text.split("[project]", 1)[1].split("\n[", 1)[0]
    return dict(re.findall(r'^([\w-]+)\s*=\s*"([^"]*)"', table, re.M))


def _metadata():
    p = _project()
    lines = ["Metadata-Version: 2.1", "Name: " + p["name"], "Version: " + p["version"],
             "Summary: " + p["description"], "Requires-Python: " + p["requires-python"],
             "Description-Content-Type: text/markdown", ""]
    readme = open(os.path.join(_HERE, p["readme"]), encoding="utf-8").read()
    return "\n".join(lines) + "\n" + readme


def _dist_name():
    p = _project()
    return p["name"].replace("-", "_") + "-" + p["version"]


def _package_files():
    root = os.path.join(_HERE, "src", _PACKAGE)
    return sorted(f for f in os.listdir(root) if f.endswith(".py") or f == "py.typed")


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (name, digest, len(data))


def _write_dist_info(directory):
    info = _dist_name() + ".dist-info"
    files = {
        info + "/METADATA": _metadata().encode(),
        info + "/WHEEL": b"Wheel-Version: 1.0\nGenerator: kvarn_backend\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
    }
    if directory is not None:
        os.makedirs(os.path.join(directory, info), exist_ok=True)
        for name, data in files.items():
            with open(os.path.join(directory, name), "wb") as f:
                f.write(data)
    return info, files


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    return _write_dist_info(metadata_directory)[0]


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    info, files = _write_dist_info(None)
    for name in _package_files():
        with open(os.path.join(_HERE, "src", _PACKAGE, name), "rb") as f:
            files[_PACKAGE + "/" + name] = f.read()
    wheel = _dist_name() + "-py3-none-any.whl"
    record = [_record_line(name, data) for name, data in files.items()] + [info + "/RECORD,,"]
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel), "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in files.items():
            z.writestr(name, data)
        z.writestr(info + "/RECORD", "\n".join(record) + "\n")
    return wheel


def build_sdist(sdist_directory, config_settings=None):
    base = _dist_name()
    sdist = base + ".tar.gz"
    with tarfile.open(os.path.join(sdist_directory, sdist), "w:gz") as t:
        for name in ("pyproject.toml", "README.md", "build_backend/kvarn_backend.py"):
            t.add(os.path.join(_HERE, name), base + "/" + name)
        for name in _package_files():
            t.add(os.path.join(_HERE, "src", _PACKAGE, name), "%s/src/%s/%s" % (base, _PACKAGE, name))
        info = tarfile.TarInfo(base + "/PKG-INFO")
        data = _metadata().encode()
        info.size = len(data)
        t.addfile(info, io.BytesIO(data))
    return sdist

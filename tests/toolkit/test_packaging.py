"""The project's own files agree with each other: one version, one set of floors."""

import re
import sys
from pathlib import Path

import pytest

import vornkit

ROOT = Path(__file__).resolve().parents[2]

tomllib = pytest.importorskip("tomllib") if sys.version_info >= (3, 11) else pytest.importorskip("tomli")


def _pyproject():
    with open(ROOT / "pyproject.toml", "rb") as fh:
        return tomllib.load(fh)


def test_the_version_is_written_once_and_the_build_reads_it():
    project = _pyproject()
    assert "version" not in project["project"] and "version" in project["project"]["dynamic"]
    where = project["tool"]["scikit-build"]["metadata"]["version"]["input"]
    text = (ROOT / where).read_text()
    assert re.findall(r'^__version__ = "([^"]+)"$', text, re.M) == [vornkit.__version__]


def test_bootstrap_installs_the_build_backend_the_build_asks_for():
    backend = [r for r in _pyproject()["build-system"]["requires"] if r.startswith("scikit-build-core")]
    script = (ROOT / "scripts" / "bootstrap").read_text()
    assert re.findall(r'^backend="([^"]+)"', script, re.M) == backend


def test_an_installed_vorn_reports_the_same_version():
    from importlib.metadata import PackageNotFoundError, version
    try:
        installed = version("vorn")
    except PackageNotFoundError:
        pytest.skip("vorn is not installed (tests run against a build tree)")
    assert installed == vornkit.__version__

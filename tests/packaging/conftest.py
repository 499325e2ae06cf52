"""Packaging tests: the wheel installed into fresh virtual environments of
the running interpreter, used the way an application uses it. A step of
their own in tools/test (pytest.ini leaves them out of `pytest tests`), with
TAVRIN_WHEEL naming the wheel it built.
"""
import os
import shutil
from pathlib import Path

import pytest

from packaging_support import EXAMPLES, REPO, make_venv, pip_install


@pytest.fixture(scope="session")
def wheel() -> Path:
    return Path(os.environ["TAVRIN_WHEEL"])


def venv_with(tmp_path_factory, *packages):
    venv = make_venv(tmp_path_factory.mktemp("venv") / "venv")
    pip_install(venv, *packages)
    return venv


@pytest.fixture(scope="session")
def lib_venv(tmp_path_factory, wheel):
    """The wheel and firebase_standins, no application: that is used from a
    source checkout."""
    return venv_with(tmp_path_factory, wheel, REPO / "standins")


@pytest.fixture(scope="session")
def app_venv(tmp_path_factory, wheel):
    """The wheel and the example application, installed."""
    return venv_with(tmp_path_factory, wheel, EXAMPLES / "app")


@pytest.fixture
def checkout(tmp_path) -> Path:
    """A copy of the examples: the application's source checkout and the
    typing samples beside it."""
    shutil.copytree(EXAMPLES, tmp_path / "examples",
                    ignore=shutil.ignore_patterns("__pycache__", ".mypy_cache", "build"))
    return tmp_path / "examples"

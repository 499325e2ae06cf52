"""Packaging tests: the wheel installed into fresh virtual environments of
the running interpreter, used the way an application uses it.

Not part of the default `pytest tests` run (pytest.ini: norecursedirs);
tools/test runs them as their own step, after the wheel step, with
TAVRIN_WHEEL naming the wheel it built. Without TAVRIN_WHEEL they build one.
"""
import os
import shutil
import sys
from pathlib import Path

import pytest

from packaging_support import EXAMPLES, REPO, Venv, clean_env, make_venv, pip_install, run


@pytest.fixture(scope="session")
def wheel(tmp_path_factory) -> Path:
    given = os.environ.get("TAVRIN_WHEEL")
    if given:
        return Path(given)
    out = tmp_path_factory.mktemp("wheel")
    run(sys.executable, "-m", "pip", "wheel", "--quiet", "--no-build-isolation", "--no-deps",
        "-C", f"build-dir={REPO / 'build' / 'wheel'}", "-w", out, REPO, env=clean_env())
    (built,) = out.glob("*.whl")
    return built


@pytest.fixture(scope="session")
def lib_venv(tmp_path_factory, wheel) -> Venv:
    """A venv with the wheel and firebase_standins installed, and no
    application: the application is used from a source checkout."""
    venv = make_venv(tmp_path_factory.mktemp("venv") / "lib")
    pip_install(venv, wheel)
    pip_install(venv, REPO / "standins")
    return venv


@pytest.fixture(scope="session")
def app_venv(tmp_path_factory, wheel) -> Venv:
    """A venv with the wheel and the example application installed."""
    venv = make_venv(tmp_path_factory.mktemp("venv") / "app")
    pip_install(venv, wheel)
    pip_install(venv, EXAMPLES / "app")
    return venv


@pytest.fixture
def checkout(tmp_path) -> Path:
    """A copy of the examples: the application's source checkout and the
    typing samples beside it."""
    shutil.copytree(EXAMPLES, tmp_path / "examples",
                    ignore=shutil.ignore_patterns("__pycache__", ".mypy_cache", "build"))
    return tmp_path / "examples"

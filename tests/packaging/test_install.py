"""The wheel, installed: beside an installed application, under an
application's source checkout, under mypy, and under an application's own
tests with the firebase_standins fixtures."""
import os
import re
import sys
import sysconfig
import zipfile
from email.parser import Parser

import pytest

from packaging_support import REPO, clean_env, make_venv, pip_install, run

EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
# Venvs, pip and mypy take longer than the suite's default limit.
pytestmark = pytest.mark.timeout(300)

MODULE_FILES = [f"tavrin/{m}{e}" for m in ("firebase", "firestore_values")
                for e in (EXT_SUFFIX, ".pyi")] + ["tavrin/py.typed", "tavrin/firebase_pool.py",
                                                  "tavrin/firebase_pool.pyi"]

SHOW = """
import tavrin, tavrin.env, tavrin.firebase as fb
from tavrin import firestore_values
print(fb.__file__, firestore_values.__file__)
print(tavrin.env.__file__)
print(fb.get_firestore_base_url())
print(fb.FIREBASE_API_KEY, fb.AUTH_HEADER_NAME)
"""


def test_wheel_metadata(wheel):
    # Its files are checked by tools/test's wheel step and below, once installed.
    names = zipfile.ZipFile(wheel).namelist()
    metadata = Parser().parsestr(zipfile.ZipFile(wheel).read(
        next(n for n in names if n.endswith(".dist-info/METADATA"))).decode())
    assert metadata["Name"] == "tavrin-firebase"
    assert sorted(metadata.get_all("Requires-Dist")) == ["httpx", "pynacl"]
    version = f"cp{sys.version_info.major}{sys.version_info.minor}"
    assert wheel.name.endswith(f"-{version}-{version}-linux_x86_64.whl")


def test_pip_install_from_the_source_tree(tmp_path):
    # What the README tells a newcomer: pip install . (the build tree of the
    # wheel step is reused, so nothing is compiled again here).
    venv = make_venv(tmp_path / "venv")
    pip_install(venv, "-C", f"build-dir={REPO / 'build' / 'wheel'}", REPO)
    installed = sorted(str(p.relative_to(venv.site)) for p in (venv.site / "tavrin").iterdir()
                       if p.name != "__pycache__")  # pip compiles firebase_pool.py
    assert installed == sorted(MODULE_FILES)


@pytest.mark.parametrize("where", ["installed", "checkout", "checkout without extend_path"])
def test_the_module_beside_the_application(request, checkout, where):
    """The module from the wheel, the application's env.py from where it is
    installed or checked out; the example's tavrin/__init__.py extends its
    __path__, without which the checkout hides the module."""
    venv = request.getfixturevalue("app_venv" if where == "installed" else "lib_venv")
    app = venv.site / "tavrin" if where == "installed" else checkout / "app" / "tavrin"
    if where.endswith("extend_path"):
        (app / "__init__.py").write_text('"""No extend_path."""\n')
    result = run(venv.python, "-c", SHOW, cwd=checkout / ("" if where == "installed" else "app"),
                 env=clean_env(), check=False)
    if where.endswith("extend_path"):
        assert "No module named 'tavrin.firebase'" in result.stderr
        return
    assert result.stdout.splitlines() == [
        " ".join(str(venv.site / "tavrin" / (m + EXT_SUFFIX))
                 for m in ("firebase", "firestore_values")),
        str(app / "env.py"),
        "https://firestore.googleapis.com/v1/projects/demo-example/databases/(default)/documents",
        "example-api-key X-Example-Auth"], result.stderr


def test_mypy_accepts_the_typed_application_and_refuses_the_wrong_calls(lib_venv, checkout,
                                                                        tmp_path):
    # --strict (examples/app/pyproject.toml), the stub from the installed wheel:
    # the application's package and a call of every function pass, and each
    # wrong call is reported with the error codes its comment names.
    result = run(lib_venv.python, "-m", "mypy", "--cache-dir", tmp_path / "mypy-cache",
                 "--no-error-summary", "--hide-error-context", "tavrin",
                 "../typing/every_function.py", "../typing/firestore_values.py",
                 "../typing/wrong_calls.py",
                 cwd=checkout / "app", env=clean_env(), check=False)
    errors = [line for line in result.stdout.splitlines() if ": error: " in line]
    reported = [re.fullmatch(r"\.\./typing/wrong_calls\.py:(\d+): error: .*\[([\w-]+)\]", line)
                for line in errors]
    assert result.returncode == 1 and errors and all(reported), result.stdout + result.stderr
    sample = (checkout / "typing" / "wrong_calls.py").read_text().splitlines()
    expected = {(number, code.strip()) for number, line in enumerate(sample, 1)
                for found in [re.search(r"# error: ([\w, -]+)$", line)] if found
                for code in found.group(1).split(",")}
    assert {(int(m.group(1)), m.group(2)) for m in reported} == expected, result.stdout


# ---- an application's own tests ---------------------------------------------------------

def test_the_application_tests_run_on_the_plugin(lib_venv, checkout):
    # firebase_standins is installed in the venv: its fixtures come from the
    # pytest11 entry point (and the example's conftest names the plugin too,
    # without registering it twice).
    result = run(lib_venv.python, "-m", "pytest", "-p", "no:cacheprovider", "-v", "tests",
                 cwd=checkout / "app", env=clean_env(), check=False)
    assert result.returncode == 0, result.stdout + result.stderr
    emulator_test = re.search(r"test_accounts_at_the_auth_emulator (\w+)", result.stdout)
    assert emulator_test.group(1) == ("PASSED" if os.environ.get("FIREBASE_AUTH_EMULATOR_HOST")
                                      else "SKIPPED"), result.stdout
    # The plugin was loaded from the installed distribution.
    assert "firebase-standins-0.1.0" in result.stdout


def test_the_readme_application_runs_and_passes_its_tests(lib_venv, checkout):
    # examples/notes as the README has a newcomer run it, from its folder:
    # its script against the stand-ins, then its tests.
    notes = checkout / "notes"
    ran = run(lib_venv.python, "local.py", cwd=notes, env=clean_env())
    assert ran.stdout.startswith("note: buy milk\necho: {'echo': {'note': 'buy milk'}"), ran.stdout
    tests = run(lib_venv.python, "-m", "pytest", "-p", "no:cacheprovider", cwd=notes, env=clean_env())
    assert re.search(r"\b2 passed\b", tests.stdout), tests.stdout

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

MODULE_FILES = ["tavrin/firebase" + EXT_SUFFIX, "tavrin/firebase.pyi", "tavrin/py.typed"]

SHOW = """
import tavrin, tavrin.env, tavrin.firebase as fb
print(fb.__file__)
print(tavrin.env.__file__)
print(fb.get_firestore_base_url())
print(fb.FIREBASE_API_KEY, fb.AUTH_HEADER_NAME)
"""


def test_wheel_holds_the_module_and_its_stub_only(wheel):
    names = zipfile.ZipFile(wheel).namelist()
    assert sorted(n for n in names if ".dist-info/" not in n) == sorted(MODULE_FILES)
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
    installed = sorted(str(p.relative_to(venv.site)) for p in (venv.site / "tavrin").iterdir())
    assert installed == sorted(MODULE_FILES)


def test_beside_the_installed_application(app_venv, tmp_path):
    out = run(app_venv.python, "-c", SHOW, cwd=tmp_path, env=clean_env()).stdout.splitlines()
    package = app_venv.site / "tavrin"
    assert out == [str(package / ("firebase" + EXT_SUFFIX)), str(package / "env.py"),
                   "https://firestore.googleapis.com/v1/projects/demo-example/databases/"
                   "(default)/documents",
                   "example-api-key X-Example-Auth"]


def test_under_a_source_checkout_of_the_application(lib_venv, checkout):
    app = checkout / "app"
    out = run(lib_venv.python, "-c", SHOW, cwd=app, env=clean_env()).stdout.splitlines()
    assert out[:2] == [str(lib_venv.site / "tavrin" / ("firebase" + EXT_SUFFIX)),
                       str(app / "tavrin" / "env.py")]
    assert "/projects/demo-example/" in out[2]


def test_without_extend_path_the_checkout_hides_the_module(lib_venv, checkout):
    # Why the example's tavrin/__init__.py extends its __path__.
    app = checkout / "app"
    (app / "tavrin" / "__init__.py").write_text('"""No extend_path."""\n')
    result = run(lib_venv.python, "-c", "import tavrin.firebase", cwd=app, env=clean_env(),
                 check=False)
    assert result.returncode == 1
    assert "No module named 'tavrin.firebase'" in result.stderr


# ---- typing --------------------------------------------------------------------------

def mypy(venv, cwd, *args, tmp_path):
    return run(venv.python, "-m", "mypy", "--cache-dir", tmp_path / "mypy-cache",
               "--no-error-summary", "--hide-error-context", *args, cwd=cwd,
               env=clean_env(), check=False)


def test_mypy_accepts_the_typed_application(lib_venv, checkout, tmp_path):
    # The application's own package and a call of every function, --strict
    # (examples/app/pyproject.toml); the stub comes from the installed wheel.
    result = mypy(lib_venv, checkout / "app", "tavrin", "../typing/every_function.py",
                  tmp_path=tmp_path)
    assert (result.returncode, result.stdout) == (0, "")


def expected_errors(path):
    expected = set()
    for number, line in enumerate(path.read_text().splitlines(), 1):
        found = re.search(r"# error: ([\w, -]+)$", line)
        if found:
            expected |= {(number, code.strip()) for code in found.group(1).split(",")}
    return expected


def test_mypy_refuses_the_wrong_calls(lib_venv, checkout, tmp_path):
    sample = checkout / "typing" / "wrong_calls.py"
    result = mypy(lib_venv, checkout / "app", "../typing/wrong_calls.py", tmp_path=tmp_path)
    assert result.returncode == 1, result.stdout + result.stderr
    reported = {(int(m.group(1)), m.group(2)) for m in re.finditer(
        r"^\.\./typing/wrong_calls\.py:(\d+): error: .*\[([\w-]+)\]$", result.stdout, re.M)}
    errors = [line for line in result.stdout.splitlines() if ": error: " in line]
    assert len(errors) >= len(reported)
    assert reported == expected_errors(sample), result.stdout


# ---- an application's own tests ---------------------------------------------------------

def test_the_application_tests_run_on_the_plugin(lib_venv, checkout):
    # firebase_standins is installed in the venv: its fixtures come from the
    # pytest11 entry point (and the example's conftest names the plugin too,
    # without registering it twice).
    result = run(lib_venv.python, "-m", "pytest", "-p", "no:cacheprovider", "-v", "tests",
                 cwd=checkout / "app", env=clean_env(), check=False)
    assert result.returncode == 0, result.stdout + result.stderr
    emulator_test = re.search(r"test_accounts_at_the_auth_emulator (\w+)", result.stdout)
    if os.environ.get("FIREBASE_AUTH_EMULATOR_HOST"):
        assert emulator_test.group(1) == "PASSED", result.stdout
    else:
        assert emulator_test.group(1) == "SKIPPED", result.stdout
    # The plugin was loaded from the installed distribution.
    assert "firebase-standins-0.1.0" in result.stdout

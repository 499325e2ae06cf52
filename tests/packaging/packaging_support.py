"""Helpers of the packaging tests: commands, clean environments, venvs."""
import os
import subprocess
import sys
import types
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"


def run(*args, cwd=None, env=None, check=True, timeout=300):
    """Runs a command; on failure the assertion shows its output."""
    result = subprocess.run([str(a) for a in args], cwd=cwd, env=env, capture_output=True,
                            text=True, timeout=timeout)
    assert not check or result.returncode == 0, (
        f"{' '.join(map(str, args))} exited {result.returncode}\n"
        f"--- stdout\n{result.stdout}\n--- stderr\n{result.stderr}")
    return result


def clean_env():
    """The environment without this repository's paths: what a fresh shell
    of an application developer would have."""
    return {k: v for k, v in os.environ.items()
            if k not in ("PYTHONPATH", "TAVRIN_FIREBASE_EXT", "VIRTUAL_ENV")}


def pip_install(venv, *args):
    # PyNaCl's metadata asks for cffi, which Debian's python3-nacl does not
    # need: the dependencies come from the system, so no resolution.
    return run(venv.python, "-m", "pip", "install", "--quiet", "--no-index", "--no-deps",
               "--no-build-isolation", *args, env=clean_env())


def make_venv(path: Path):
    """A venv (.python, .site) on the system's site-packages, which give
    httpx, PyNaCl, pytest, mypy and pip (Debian packages)."""
    run(sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", path,
        env=clean_env())
    python = path / "bin" / "python"
    purelib = "import sysconfig; print(sysconfig.get_path('purelib'))"
    return types.SimpleNamespace(python=python, site=Path(
        run(python, "-c", purelib, env=clean_env()).stdout.strip()))

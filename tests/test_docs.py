"""The documentation stays true: every fenced Python block of README.md and
docs/*.md runs as its reader would run it, in a copy of examples/notes with
the built module, under pytest with the stand-ins' plugin, or says why not
on its first line; the HTML comment before a block says how it runs
(docs/development.md, "Tests and planted faults")."""
import importlib
import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]
DOCS = [REPO / "README.md", *sorted((REPO / "docs").glob("*.md"))]
BLOCK = re.compile(r"(?:^<!-- check: ([\w-]+)(?: (?!-->)(\S+))?(?: -->|\n(.*?)-->)\n)?"
                   r"^```(\w*)\n(.*?)^```$", re.S | re.M)
PRELUDES = {"run": "", "standins": "standins", "signed-in": "signed_in"}
# Beside the blocks as their conftest.py: the names each prelude gives, and
# a runner that allows top-level await as the examples write it.
CONFTEST = '''
import ast, asyncio, inspect
import pytest
from tavrin import firebase

def run_block(names, *sources):
    for source, where in sources:
        code = compile(source, where, "exec", flags=ast.PyCF_ALLOW_TOP_LEVEL_AWAIT)
        if inspect.iscoroutine(result := eval(code, names)):
            asyncio.run(result)

@pytest.fixture
def standins(firebase_standins):
    asyncio.run(firebase.auth_sign_up("ada@example.com", "secret-1"))
    return {"firebase": firebase, "svc": firebase_standins}

@pytest.fixture
def signed_in(standins, app):
    reply = asyncio.run(firebase.auth_sign_in("ada@example.com", "secret-1"))
    app.firebase_id_token, app.firebase_refresh_token = reply["idToken"], reply["refreshToken"]
    app.user_id = reply["localId"]
    return dict(standins, app=app, uid=app.user_id, id_token=app.firebase_id_token)
'''
# (where, how, path, check after it, language, text)
BLOCKS = [(f"{doc.name}:{text.count(chr(10), 0, found.start(5)) + 1}", *found.groups())
          for doc in DOCS for text in [doc.read_text()] for found in BLOCK.finditer(text)]
RUNNING = [b for b in BLOCKS if b[1] in ("pytest", *PRELUDES)]


def module(where, how, path, after, language, text):
    if how == "pytest":
        return text
    return (f"from conftest import run_block\n\ndef test_block({PRELUDES[how]}):\n"
            f"    run_block(dict({PRELUDES[how]}), ({text!r}, {where!r}),\n"
            f"              ({after or ''!r}, {where + ' (check)'!r}))\n")


def test_every_block_runs_or_says_why_not_and_a_shown_file_is_that_file():
    for where, how, path, after, language, text in BLOCKS:
        marker = {"python": "# not run: ", "javascript": "// not run: "}.get(language)
        assert how in ("file", "pytest", *PRELUDES) or not marker or text.startswith(marker), where
        assert how != "file" or (REPO / path).read_text().endswith(text), f"{where}: not {path}"
    assert len(RUNNING) >= 10 and len(DOCS[0].read_text().splitlines()) <= 300


@pytest.fixture(scope="module")
def failures(tmp_path_factory):
    """Runs the blocks in one pytest run: each module's failures, [] when
    every test in it passed."""
    app = tmp_path_factory.mktemp("docs") / "notes"
    shutil.copytree(REPO / "examples" / "notes", app, ignore=shutil.ignore_patterns("__pycache__"))
    linked = Path(importlib.import_module("tavrin.firebase").__file__).parent
    for built in linked.iterdir():  # what the suite links in: the module and its kin
        if built.is_symlink():
            (app / "tavrin" / built.name).symlink_to(built.resolve())
    (app / "tests" / "docs").mkdir()
    (app / "tests" / "docs" / "conftest.py").write_text(CONFTEST)
    for number, block in enumerate(RUNNING):
        (app / "tests" / "docs" / f"test_block_{number}.py").write_text(module(*block))
    run = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider",
                          "--junitxml=report.xml", "tests/docs"], cwd=app, capture_output=True,
                         env=dict(os.environ, PYTHONPATH=str(REPO / "standins")), text=True)
    found = {}
    for case in ElementTree.parse(app / "report.xml").iter("testcase"):
        found.setdefault(case.get("classname").rpartition(".")[2], []).extend(
            f"{p.get('message')}\n{p.text}" for p in case if p.tag in ("failure", "error", "skipped"))
    return found, run.stdout[-3000:]


@pytest.mark.timeout(300)
@pytest.mark.parametrize("number", range(len(RUNNING)), ids=[b[0] for b in RUNNING])
def test_the_block_runs(failures, number):
    found, output = failures
    problems = found.get(f"test_block_{number}", [f"not collected:\n{output}"])
    assert not problems, "\n".join(problems)


def test_the_links_between_the_guides_lead_to_headings():
    for doc in DOCS:
        for target, anchor in re.findall(r"\]\(((?:docs/)?\w+\.md)(?:#([\w-]+))?\)", doc.read_text()):
            headings = re.findall(r"^#+ (.*)$", (doc.parent / target).read_text(), re.M)
            slugs = [re.sub(r"[^\w\- ]", "", h.lower()).replace(" ", "-") for h in headings]
            assert not anchor or anchor in slugs, f"{doc.name}: {target}#{anchor}"

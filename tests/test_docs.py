"""The documentation stays true: every fenced Python block of README.md and
docs/*.md runs as its reader would run it, in a copy of examples/notes with
the built module, under pytest with the stand-ins' plugin, or says why not
on its first line; the HTML comment before a block says how it runs
(docs/development.md, "Tests and planted faults")."""
import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass
from pathlib import Path

import pytest

from conftest import EXT_SUFFIX, EXTENSION, REPO

DOCS = [REPO / "README.md", *sorted((REPO / "docs").glob("*.md"))]
BLOCK = re.compile(r"(?:^<!-- check: ([\w-]+)(?: (?!-->)(\S+))?(?: -->|\n(.*?)-->)\n)?^```(\w*)\n(.*?)^```$",
                   re.S | re.M)
PRELUDES = {"run": None, "standins": "standins", "signed-in": "signed_in"}
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


@dataclass
class Block:
    where: str
    how: str | None
    path: str | None
    after: str | None
    language: str
    text: str

    def __str__(self):
        return self.where

    def module(self):
        if self.how == "pytest":
            return self.text
        prelude = PRELUDES[self.how]
        return (f"from conftest import run_block\n\ndef test_block({prelude or ''}):\n"
                f"    run_block(dict({prelude or ''}), ({self.text!r}, {self.where!r}),\n"
                f"              ({self.after or ''!r}, {self.where + ' (check)'!r}))\n")


BLOCKS = [Block(f"{doc.name}:{text.count(chr(10), 0, found.start(5)) + 1}", *found.groups())
          for doc in DOCS for text in [doc.read_text()] for found in BLOCK.finditer(text)]
RUNNING = [b for b in BLOCKS if b.how in ("pytest", *PRELUDES)]


def test_every_block_runs_or_says_why():
    for block in BLOCKS:
        marker = {"python": "# not run: ", "javascript": "// not run: "}.get(block.language)
        if marker and block.how is None:
            assert block.text.startswith(marker), f"{block}: no check comment, no '{marker}'"
        assert block.how in (None, "file", "pytest", *PRELUDES), f"{block}: check {block.how}"
    assert len(RUNNING) >= 10


@pytest.mark.parametrize("block", [b for b in BLOCKS if b.how == "file"], ids=str)
def test_a_block_that_shows_a_file_is_that_file(block):
    assert (REPO / block.path).read_text().endswith(block.text)


@pytest.fixture(scope="module")
def outcomes(tmp_path_factory):
    """Runs the blocks in one pytest run; gives each module's failures, or
    None for a module whose tests all passed."""
    app = tmp_path_factory.mktemp("docs") / "notes"
    shutil.copytree(REPO / "examples" / "notes", app, ignore=shutil.ignore_patterns("__pycache__"))
    (app / "tavrin" / ("firebase" + EXT_SUFFIX)).symlink_to(EXTENSION.resolve())
    (app / "tests" / "docs").mkdir()
    (app / "tests" / "docs" / "conftest.py").write_text(CONFTEST)
    for number, block in enumerate(RUNNING):
        (app / "tests" / "docs" / f"test_block_{number}.py").write_text(block.module())
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "--junitxml=report.xml",
         "tests/docs"], cwd=app, env=dict(os.environ, PYTHONPATH=str(REPO / "standins")),
        capture_output=True, text=True, timeout=240)
    found = {}
    for case in ElementTree.parse(app / "report.xml").iter("testcase"):
        module = case.get("classname").rpartition(".")[2]
        problem = next((p.get("message") + "\n" + (p.text or "") for p in case
                        if p.tag in ("failure", "error", "skipped")), None)
        found.setdefault(module, []).append(problem)
    return {m: [p for p in problems if p] or None for m, problems in found.items()}, result.stdout


@pytest.mark.timeout(300)
@pytest.mark.parametrize("number", range(len(RUNNING)), ids=[str(b) for b in RUNNING])
def test_the_block_runs(outcomes, number):
    found, output = outcomes
    module = f"test_block_{number}"
    assert module in found, f"{RUNNING[number]} was not collected:\n{output[-3000:]}"
    assert found[module] is None, "\n".join(found[module])


def slug(heading):
    return re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")


def test_the_links_between_the_guides_lead_somewhere():
    for doc in DOCS:
        for target, anchor in re.findall(r"\]\(((?:docs/)?\w+\.md)(?:#([\w-]+))?\)", doc.read_text()):
            assert (doc.parent / target).is_file(), f"{doc.name}: {target}"
            headings = re.findall(r"^#+ (.*)$", (doc.parent / target).read_text(), re.M)
            assert not anchor or anchor in map(slug, headings), f"{doc.name}: {target}#{anchor}"

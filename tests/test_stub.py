"""The type stub stubs/tavrin/firebase.pyi against the module it describes
(reliability/test_fuzz.py binds random calls against the stub's signatures;
tests/packaging runs mypy on code written against the stub)."""
import ast
import inspect
import types
from pathlib import Path

from test_loading import IMPORTED

STUB = Path(__file__).resolve().parent.parent / "stubs" / "tavrin" / "firebase.pyi"
TREE = ast.parse(STUB.read_text())
FUNCTIONS = {node.name: node for node in TREE.body
             if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef))}


def signature(name):
    """The stub's signature of a function: positional-or-keyword parameters only."""
    args = FUNCTIONS[name].args
    assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg), name
    defaults = [None] * (len(args.args) - len(args.defaults)) + args.defaults
    return inspect.Signature([
        inspect.Parameter(a.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD,
                          **({} if d is None else {"default": ast.literal_eval(d)}))
        for a, d in zip(args.args, defaults)])


def test_functions_and_kinds(fb):
    published = {n for n, v in vars(fb).items() if isinstance(v, types.BuiltinFunctionType)}
    assert len(FUNCTIONS) == 18 and set(FUNCTIONS) == published
    for name, node in FUNCTIONS.items():
        result = getattr(fb, name)(**{p: None for p in signature(name).parameters})
        is_async = isinstance(node, ast.AsyncFunctionDef)
        assert type(result).__name__ == ("coroutine" if is_async else ast.unparse(node.returns))
        if is_async:
            result.close()


def test_attributes_and_imported_names(fb):
    # The configuration names with their types, and the re-exported imports.
    kinds = {"str": str, "bytes": bytes, "str | bytes": (str, bytes)}
    attributes = {node.target.id: ast.unparse(node.annotation) for node in TREE.body
                  if isinstance(node, ast.AnnAssign) and node.value is None}
    assert set(attributes) == set(IMPORTED[11:])
    for name, annotation in attributes.items():
        assert isinstance(getattr(fb, name), kinds[annotation]), name
    imported = {alias.asname for node in TREE.body if isinstance(node, (ast.Import, ast.ImportFrom))
                for alias in node.names if alias.asname is not None}
    assert imported == set(IMPORTED[:11]) and not hasattr(fb, "_Fields")

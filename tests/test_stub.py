"""The type stub stubs/tavrin/firebase.pyi against the module it describes:
the same functions, coroutine functions where the module returns coroutine
objects, the parameter names, the required ones, the defaults and the module
attributes. (reliability/test_fuzz.py binds random calls against the stub's
signatures; mypy checks of code written against the stub run in
tests/packaging.)"""
import ast
import base64
import datetime
import inspect
import json
import logging
import types
import typing
from pathlib import Path

import httpx
import nacl.public
import pytest

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


def test_same_functions_as_the_module(fb):
    defined = [n.name for n in TREE.body if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef))]
    published = {name for name, value in vars(fb).items()
                 if isinstance(value, types.BuiltinFunctionType)}
    assert len(defined) == 18 and set(defined) == published


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_parameters_and_kind(fb, name):
    params = signature(name).parameters.values()
    required = [None] * sum(p.default is p.empty for p in params)
    results = [getattr(fb, name)(*required), getattr(fb, name)(**{p.name: None for p in params})]
    for result in results:
        assert (type(result).__name__ == "coroutine") is \
            isinstance(FUNCTIONS[name], ast.AsyncFunctionDef)
        if hasattr(result, "close"):
            result.close()
    for args, kwargs in [(required[1:], {}), ([None] * (len(params) + 1), {}),
                         (required, {"not_a_parameter": 1})]:
        if args or kwargs or required:
            with pytest.raises(TypeError):
                getattr(fb, name)(*args, **kwargs)
    returns = ast.unparse(FUNCTIONS[name].returns)
    if returns in ("int", "str", "bytes"):
        assert type(results[0]).__name__ == returns


def test_defaults():
    defaults = {n: p.default for n, p in signature("trigger_function").parameters.items()}
    assert defaults == {"firebase_function": inspect.Parameter.empty,
                        "payload": inspect.Parameter.empty, "use_auth_token": False,
                        "additional_headers": None, "timeout_seconds": 30.0, "encrypt": True}
    assert type(defaults["timeout_seconds"]) is float
    assert all(not FUNCTIONS[name].args.defaults for name in set(FUNCTIONS) - {"trigger_function"})


def test_attributes_and_imported_names(fb):
    attributes = {node.target.id: ast.unparse(node.annotation) for node in TREE.body
                  if isinstance(node, ast.AnnAssign) and node.value is None}
    assert attributes == {
        "FIREBASE_API_KEY": "str", "FIREBASE_PROJECT_ID": "str", "FIREBASE_REGION": "str",
        "AUTH_HEADER_NAME": "str", "ENCRYPTED_AUTH_KEY": "bytes", "API_VERSION": "str",
        "ENCRYPTION_HEADER_NAME": "str", "SEALED_BOX_SERVER_PUBLIC_KEY_B64": "str | bytes"}
    kinds = {"str": str, "bytes": bytes, "str | bytes": (str, bytes)}
    for name, annotation in attributes.items():
        assert isinstance(getattr(fb, name), kinds[annotation]), name
    imported = {alias.asname or alias.name: (getattr(node, "module", None), alias.name)
                for node in TREE.body if isinstance(node, (ast.Import, ast.ImportFrom))
                for alias in node.names if alias.asname is not None}
    modules = {"base64": base64, "json": json, "logging": logging, "datetime": datetime,
               "typing": typing, "httpx": httpx, "nacl.public": nacl.public}
    assert set(imported) == {"base64", "json", "logging", "datetime", "timezone", "Dict",
                             "Optional", "httpx", "HTTPStatusError", "PublicKey", "SealedBox"}
    for name, (module, attribute) in imported.items():
        real = modules[attribute] if module is None else getattr(modules[module], attribute)
        assert vars(fb)[name] is real, name
    # The stub's private helper names are not published by the module.
    private = [node.targets[0].id for node in TREE.body if isinstance(node, ast.Assign)]
    assert private == ["_Fields"] and not hasattr(fb, "_Fields")

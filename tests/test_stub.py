"""The type stub stubs/tavrin/firebase.pyi against the module it describes:
the same functions, coroutine functions where the module returns coroutine
objects, the parameter names and the number of required ones, the defaults,
and the module attributes. (mypy checks of code written against the stub
run in tests/packaging.)"""
import ast
import base64
import datetime
import importlib
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
ATTRIBUTES = {node.target.id: ast.unparse(node.annotation) for node in TREE.body
              if isinstance(node, ast.AnnAssign) and node.value is None}
IMPORTED = {alias.asname or alias.name: (getattr(node, "module", None), alias.name)
            for node in TREE.body
            if isinstance(node, (ast.Import, ast.ImportFrom)) for alias in node.names
            if alias.asname is not None}


def parameters(name):
    args = FUNCTIONS[name].args
    assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg), name
    names = [a.arg for a in args.args]
    return names, names[:len(names) - len(args.defaults)]


def test_the_stub_is_valid_python_with_every_function_once():
    assert len(FUNCTIONS) == 18
    defined = [n for n in TREE.body if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef))]
    assert len(defined) == 18


def test_same_functions_as_the_module(fb):
    published = {name for name, value in vars(fb).items()
                 if isinstance(value, types.BuiltinFunctionType)}
    assert set(FUNCTIONS) == published


def call_with(fb, name, *args, **kwargs):
    """Calls the function; closes a coroutine it returns. Returns whether it
    returned a coroutine object."""
    result = getattr(fb, name)(*args, **kwargs)
    coroutine = type(result).__name__ == "coroutine" and hasattr(result, "send")
    if coroutine:
        result.close()
    return coroutine


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_async_exactly_where_the_module_returns_a_coroutine(fb, name):
    _, required = parameters(name)
    is_async = isinstance(FUNCTIONS[name], ast.AsyncFunctionDef)
    assert call_with(fb, name, *[None] * len(required)) is is_async


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_parameter_names_and_required_count(fb, name):
    names, required = parameters(name)
    # Every parameter by its name in the stub.
    call_with(fb, name, **{n: None for n in names})
    # Required ones only, by position.
    call_with(fb, name, *[None] * len(required))
    if required:
        with pytest.raises(TypeError):
            call_with(fb, name, *[None] * (len(required) - 1))
    with pytest.raises(TypeError):
        call_with(fb, name, *[None] * (len(names) + 1))
    with pytest.raises(TypeError, match="unexpected keyword argument|takes no keyword"):
        call_with(fb, name, *[None] * len(required), not_a_parameter=1)


def test_defaults():
    args = FUNCTIONS["trigger_function"].args
    names, required = parameters("trigger_function")
    defaults = dict(zip(names[len(required):], (ast.literal_eval(d) for d in args.defaults)))
    assert required == ["firebase_function", "payload"]
    assert defaults == {"use_auth_token": False, "additional_headers": None,
                        "timeout_seconds": 30.0, "encrypt": True}
    assert type(defaults["timeout_seconds"]) is float
    others = set(FUNCTIONS) - {"trigger_function"}
    assert all(not FUNCTIONS[name].args.defaults for name in others)


def test_return_types_of_the_plain_functions(fb):
    returns = {name: ast.unparse(FUNCTIONS[name].returns) for name in FUNCTIONS}
    assert returns["get_token_expiry"] == "int" and type(fb.get_token_expiry("a.b.c")) is int
    assert returns["get_firestore_base_url"] == "str"
    assert type(fb.get_firestore_base_url()) is str
    assert returns["get_functions_base_url"] == "str"
    assert type(fb.get_functions_base_url()) is str
    assert returns["_sealed_box_encrypt"] == "bytes" and type(fb._sealed_box_encrypt({})) is bytes
    assert returns["ensure_valid_token"] == returns["register_new_user_in_firestore"] == "None"


def test_configuration_names(fb):
    assert ATTRIBUTES == {
        "FIREBASE_API_KEY": "str", "FIREBASE_PROJECT_ID": "str", "FIREBASE_REGION": "str",
        "AUTH_HEADER_NAME": "str", "ENCRYPTED_AUTH_KEY": "bytes", "API_VERSION": "str",
        "ENCRYPTION_HEADER_NAME": "str", "SEALED_BOX_SERVER_PUBLIC_KEY_B64": "str | bytes"}
    kinds = {"str": str, "bytes": bytes, "str | bytes": (str, bytes)}
    for name, annotation in ATTRIBUTES.items():
        assert isinstance(getattr(fb, name), kinds[annotation]), name


def test_imported_names(fb):
    modules = {"base64": base64, "json": json, "logging": logging, "datetime": datetime,
               "typing": typing, "httpx": httpx, "nacl.public": nacl.public}
    assert set(IMPORTED) == {"base64", "json", "logging", "datetime", "timezone", "Dict",
                             "Optional", "httpx", "HTTPStatusError", "PublicKey", "SealedBox"}
    for name, (module, attribute) in IMPORTED.items():
        real = modules[attribute] if module is None else getattr(modules[module], attribute)
        assert vars(fb)[name] is real, name


def test_the_stub_is_importable_as_a_module_description():
    # Private helper names of the stub are not published by the module.
    private = [node.targets[0].id for node in TREE.body if isinstance(node, ast.Assign)]
    assert private == ["_Fields"]
    assert not hasattr(importlib.import_module("tavrin.firebase"), "_Fields")

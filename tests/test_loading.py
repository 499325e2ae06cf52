"""Loading the module: the single module object, its namespace, and import failures."""
import builtins
import json
import sysconfig

import pytest

IMPORTED = [
    "base64", "json", "logging", "datetime", "timezone", "Dict", "Optional",
    "httpx", "HTTPStatusError", "PublicKey", "SealedBox",
    "AUTH_HEADER_NAME", "ENCRYPTED_AUTH_KEY", "API_VERSION",
    "ENCRYPTION_HEADER_NAME", "SEALED_BOX_SERVER_PUBLIC_KEY_B64",
    "FIREBASE_API_KEY", "FIREBASE_PROJECT_ID", "FIREBASE_REGION",
]
FUNCTIONS = [
    "_sealed_box_encrypt", "auth_sign_in", "auth_sign_up", "verify_email",
    "send_password_reset_email", "get_auth_user_data", "get_firestore_base_url",
    "get_functions_base_url", "create_document", "get_document",
    "overwrite_document", "update_document", "delete_document",
    "register_new_user_in_firestore", "get_token_expiry", "refresh_id_token",
    "ensure_valid_token", "trigger_function",
]


def test_module_attributes(fb):
    assert (fb.__doc__, fb.__name__, fb.__package__) == (None, "tavrin.firebase", "tavrin")
    assert fb.__file__ == fb.__spec__.origin == fb.__loader__.path
    assert fb.__file__.endswith("firebase" + sysconfig.get_config_var("EXT_SUFFIX"))
    assert fb.__loader__.name == "tavrin.firebase"
    assert not hasattr(fb, "__path__")
    assert vars(fb)["__builtins__"] is builtins


@pytest.mark.parametrize("breakage, repair, exc_type, message, line", [
    ("block('nacl')", "unblock()", "ModuleNotFoundError", "No module named 'nacl'", 8),
    ("block('httpx')", "unblock()", "ModuleNotFoundError", "No module named 'httpx'", 6),
    ("saved = env.API_VERSION; del env.API_VERSION", "env.API_VERSION = saved",
     "ImportError", "cannot import name API_VERSION", 10),
    ("saved = config.FIREBASE_REGION; del config.FIREBASE_REGION",
     "config.FIREBASE_REGION = saved",
     "ImportError", "cannot import name FIREBASE_REGION", 17),
], ids=["nacl", "httpx", "API_VERSION", "FIREBASE_REGION"])
def test_failed_load_then_one_module_in_one_interpreter(
        run_py, breakage, repair, exc_type, message, line):
    """A failed load names its statement and records nothing; the later import
    fills a fresh namespace (the imports, then the functions) and is the only
    module object, in the only interpreter, that the extension runs."""
    proc = run_py(f"""
        import _interpreters, base64, datetime, importlib.util, json, logging, sys, traceback
        import typing
        import tavrin.env as env, tavrin.firebase_config as config

        class Blocker:
            def find_spec(self, fullname, path=None, target=None):
                if fullname.split(".")[0] == self.name:
                    raise ModuleNotFoundError(f"No module named {{fullname!r}}")
        blocker = Blocker()

        def block(name):
            blocker.name = name
            sys.meta_path.insert(0, blocker)

        def unblock():
            sys.meta_path.remove(blocker)
        {breakage}
        try:
            import tavrin.firebase
        except BaseException as e:
            failure = [type(e).__name__, str(e),
                       [[f.name, f.lineno] for f in traceback.extract_tb(e.__traceback__)
                        if f.filename == "tavrin/firebase"]]
        else:
            failure = None
        left = "tavrin.firebase" in sys.modules
        {repair}
        import httpx, nacl.public
        module_spec = importlib.util.find_spec("tavrin.firebase")
        fb, second = (importlib.util.module_from_spec(module_spec) for _ in "12")
        module_spec.loader.exec_module(fb)
        module_spec.loader.exec_module(fb)   # the recorded module: nothing to do
        try:
            module_spec.loader.exec_module(second)
        except RuntimeError as e:
            second = str(e)
        ns = vars(fb)
        expected = dict(base64=base64, json=json, logging=logging,
            datetime=datetime.datetime, timezone=datetime.timezone,
            Dict=typing.Dict, Optional=typing.Optional, httpx=httpx,
            HTTPStatusError=httpx.HTTPStatusError,
            PublicKey=nacl.public.PublicKey, SealedBox=nacl.public.SealedBox)
        for module in (env, config):
            expected.update((k, v) for k, v in vars(module).items() if k.isupper())
        iid = _interpreters.create(_interpreters.new_config("legacy"))
        err = _interpreters.exec(iid, "import tavrin.firebase")
        _interpreters.destroy(iid)
        first_test, fb.__test__ = repr(ns.get("__test__")), "kept"
        sys.modules.pop(fb.__name__)   # imported again: the same module, not executed again
        again = [__import__(fb.__name__).firebase is fb, fb.__test__]
        print(json.dumps([failure, left, [k for k in ns if not k.startswith("__")],
                          [k for k, v in expected.items() if ns.get(k) is not v],
                          first_test, fb.get_firestore_base_url(),
                          sys.modules[fb.__name__] is importlib.import_module(fb.__name__) is fb,
                          again, second, err and [err.type.__name__, err.msg]]))
    """)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout.splitlines()[-1]) == [
        [exc_type, message, [["init tavrin.firebase", line]]], False, IMPORTED + FUNCTIONS, [],
        "{}", "https://firestore.googleapis.com/v1/projects/demo-project/databases/(default)"
        "/documents", True, [True, "kept"],
        "Module 'firebase' has already been imported. Re-initialisation is not supported.",
        ["ImportError", "Interpreter change detected - this module can only be loaded into one "
         "interpreter per process."]]

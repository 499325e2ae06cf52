"""The REST operations: sign-in and sign-up, the e-mail actions, account lookup, token
refresh and the document operations."""
import asyncio
import enum
import json
import re
import types
from urllib.parse import unquote

import httpx
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from support import IDENTITY, Formatted, Suspend, entries, record_status_errors, service_error

OOB = IDENTITY + "sendOobCode?key=test-api-key"
LOOKUP = IDENTITY + "lookup?key=test-api-key"
TOKEN = "https://securetoken.googleapis.com/v1/token?key=test-api-key"
DOCS = "https://firestore.googleapis.com/v1/projects/demo-project/databases/(default)/documents"
DATA = {"n": {"integerValue": "1"}, "s": {"stringValue": "x"}}
AUTH = {"Authorization": "Bearer tok"}
BODY = {"fields": DATA}
NO_FIELDS = "No fields to update; an update without fields would replace the whole document."

# name: (arguments, client method, URL, keyword arguments in order,
#        lines of the client context, request, status test, decoding)
ACCOUNT = {"email": " Mixed@Example.COM ", "password": 123, "returnSecureToken": True}
OPS = {
    "auth_sign_in": ((" Mixed@Example.COM ", 123), "post",
                     IDENTITY + "signInWithPassword?key=test-api-key", {"json": ACCOUNT},
                     (53, 54, 55, 56)),
    "auth_sign_up": ((" Mixed@Example.COM ", 123), "post", IDENTITY + "signUp?key=test-api-key",
                     {"json": ACCOUNT}, (72, 73, 74, 75)),
    "verify_email": (("tok",), "post", OOB,
                     {"json": {"requestType": "VERIFY_EMAIL", "idToken": "tok"}},
                     (98, 99, 100, 101)),
    "send_password_reset_email": (("a@b.c",), "post", OOB,
                                  {"json": {"requestType": "PASSWORD_RESET", "email": "a@b.c"}},
                                  (117, 118, 119, 120)),
    "get_auth_user_data": (("tok",), "post", LOOKUP, {"json": {"idToken": "tok"}},
                           (145, 146, 147, 148)),
    "refresh_id_token": (("r/tok",), "post", TOKEN,
                         {"data": {"grant_type": "refresh_token", "refresh_token": "r/tok"}},
                         (319, 320, 321, 322)),
    "create_document": (("users", "u1", DATA, "tok"), "post", DOCS + "/users?documentId=u1",
                        {"headers": AUTH, "json": BODY}, (182, 183, 184, 185)),
    "get_document": (("users/u1", "tok"), "get", DOCS + "/users/u1", {"headers": AUTH},
                     (196, 197, 198, 199)),
    "overwrite_document": (("users/u1", DATA, "tok"), "patch", DOCS + "/users/u1",
                           {"headers": AUTH, "json": BODY}, (210, 211, 212, 213)),
    "update_document": (("users/u1", DATA, "tok"), "patch",
                        DOCS + "/users/u1?updateMask.fieldPaths=n&updateMask.fieldPaths=s",
                        {"headers": AUTH, "json": BODY}, (228, 229, 232, 233)),
    "delete_document": (("users/u1", "tok"), "delete", DOCS + "/users/u1", {"headers": AUTH},
                        (243, 244, 245, 246)),
}


def ordered(value):
    """Dicts as lists of items, all the way down, so that comparisons see order."""
    if isinstance(value, dict):
        return [(k, ordered(v)) for k, v in value.items()]
    return value


def run(fb, name, *args):
    return asyncio.run(getattr(fb, name)(*args))


def done(fake, payload):
    return fake.client(request=Suspend(fake.log, (), result=fake.response(payload=payload)))


# -- what each operation hands to the client --------------------------------

@pytest.mark.parametrize("name", OPS)
def test_one_request_with_its_keywords_in_order(fb, fake, name):
    args, method, url, kwargs, _ = OPS[name]
    reply = {"users": [{"localId": "u1"}], "extra": 1}
    done(fake, reply)
    result = run(fb, name, *args)
    assert result is (reply["users"][0] if name == "get_auth_user_data" else reply)
    assert fake.calls == [((), {})] and fake.log[0] == ("enter", ()) and fake.log[2:] == [
        ("raise_for_status", ()), ("json", ()), ("exit", None, None, None)]
    assert fake.log[1][:2] == (method, url) and ordered(fake.log[1][2]) == ordered(kwargs)
    sent = fake.log[1][2].get("json", {})
    assert sent.get("fields", DATA) is DATA and sent.get("returnSecureToken", True) is True


REFUSED = []


def refuse(request):
    REFUSED.append(httpx.ConnectError("refused", request=request))
    raise REFUSED[-1]


FAILURES = {
    "status": (lambda request: httpx.Response(500, json={}), httpx.HTTPStatusError, 2),
    "not json": (lambda request: httpx.Response(200, content=b"<html>"), json.JSONDecodeError, 3),
    "transport": (refuse, httpx.ConnectError, 1),
}


@pytest.mark.parametrize("failure", FAILURES)
@pytest.mark.parametrize("name", OPS)
def test_failure_closes_the_client_and_passes_unchanged(fb, mock_http, monkeypatch,
                                                       name, failure):
    handler, error, line = FAILURES[failure]
    mock_http.handler = handler
    status_errors = record_status_errors(monkeypatch)
    with pytest.raises(error) as info:
        run(fb, name, *OPS[name][0])
    if failure in ("status", "transport"):  # the very error raised, not a copy
        assert info.value is (status_errors if failure == "status" else REFUSED)[-1]
    lines = OPS[name][4]
    assert entries(info.value) == [(name, lines[0]), ("tavrin.firebase." + name, lines[line])]
    assert len(mock_http.requests) == 1 and mock_http.clients[0].is_closed


# -- addresses and headers ---------------------------------------------------

D = "/v1/projects/demo-project/databases/(default)/documents"
PLAIN = "u1_Az-9.~"
F = Formatted("formatted")
IDS = [(None, ""), ("", ""), (0, ""), (7, "?documentId=7"), (F, "?documentId=formatted")]
T = "Bearer tok"


class Key(str, enum.Enum):
    TITLE = "title"


class Level(enum.IntEnum):
    HIGH = 3


@pytest.mark.parametrize("name, args, target, bearer", [
    # Plain ids and paths go as they always went (OPS: plain keys); a false id adds no query;
    # other values go in as their text.
    ("create_document", ("users", PLAIN, {}, "tok"), D + "/users?documentId=" + PLAIN, T),
    *[("create_document", ("users", i, {}, "tok"), D + "/users" + query, T) for i, query in IDS],
    ("get_document", (PLAIN + "/!$&'()*+,;=:@", "tok"), D + "/" + PLAIN + "/!$&'()*+,;=:@", T),
    ("create_document", (F, None, {}, None), D + "/formatted", "Bearer None"),
    ("get_document", (12, 34), D + "/12", "Bearer 34"),
    ("overwrite_document", ("c/d", {}, F), D + "/c/d", "Bearer formatted"),
    ("delete_document", (None, "t k"), D + "/None", "Bearer t k"),
    # Paths keep "/", the sub-delimiters, ":" and "@"; the rest goes as UTF-8 %XX.
    ("overwrite_document", ("notes/a#b?c%d", {}, "tok"), D + "/notes/a%23b%3Fc%25d", T),
    ("delete_document", ('n/ "<>[]`{|}\\^\u00e9', "tok"),
     D + "/n/%20%22%3C%3E%5B%5D%60%7B%7C%7D%5C%5E%C3%A9", T),
    ("trigger_function", ("a b/c?d#\u00e9", {}), "/v1_a%20b/c%3Fd%23%C3%A9", None),
    # Dots inside a segment, empty segments, a document id and a function name's first
    # segment (it shares its URL segment with "v1_") are no dot segments.
    ("get_document", ("a.b/.../.x//", "tok"), D + "/a.b/.../.x//", T),
    ("create_document", ("c", "..", {}, "tok"), D + "/c?documentId=..", T),
    ("trigger_function", ("../x.", {}), "/v1_../x.", None),
    ("trigger_function", ("f", {}, False, {b"x-tavrin-encrypted": b"false"}), "/v1_f", None),
    # Query values keep "!$'()*,;:@/?"; "&", "=", "+", "#", "%" and space are encoded.
    ("create_document", ("c d", "x&documentId=y!$'()*,;:@/?+# %", {}, "tok"),
     D + "/c%20d?documentId=x%26documentId%3Dy!$'()*,;:@/?%2B%23%20%25", T),
    # Mask entries are field paths: any name but a simple one in backquotes, \ and ` escaped.
    ("update_document", ("n/a#b", {"z.y": 1, "a&b": 2, "ada@example.com": 3, "with space": 4,
                                   "`\\": 5, 5: 6, "_A9": 7}, "tok"),
     D + "/n/a%23b?" + "&".join("updateMask.fieldPaths=" + f for f in [
         "%60z.y%60", "%60a%26b%60", "%60ada@example.com%60", "%60with%20space%60",
         "%60%5C%60%5C%5C%60", "%605%60", "_A9"]), T),
    # Keys named as the JSON body names them: characters, numbers, true, false, null.
    ("update_document", ("n/1", {Key.TITLE: 1, True: 2, False: 3, None: 4, Level.HIGH: 5,
                                 -2.5: 6, 1e16: 7}, "tok"),
     D + "/n/1?" + "&".join("updateMask.fieldPaths=" + f for f in [
         "title", "true", "false", "null", "%603%60", "%60-2.5%60", "%601e%2B16%60"]), T),
])
def test_request_target(fb, mock_http, name, args, target, bearer):
    """The path and query that the service parses, as sent, and the bearer token."""
    run(fb, name, *args)
    (request,) = mock_http.requests
    assert request.url.raw_path == target.encode()
    assert request.headers.get("authorization") == bearer
    assert request.headers.get_list("x-tavrin-encrypted") in ([], ["true"])
    if name == "update_document":  # the mask names the body's very fields
        mask = [unquote(item.partition("=")[2]) for item in request.url.query.decode().split("&")]
        unquoted = [re.sub(r"\\(.)", r"\1", m[1:-1]) if m[0] == "`" else m for m in mask]
        assert unquoted == list(json.loads(request.content)["fields"])


def dots(text):
    return ValueError(f"Invalid path {text!r}: '.' and '..' cannot be path segments.")


def gone(name):
    return NameError(f"name {name!r} is not defined", name=name)


@pytest.mark.parametrize("name, args, error, line", [
    *[(name, OPS[name][0], gone("get_firestore_base_url"), line) for name, line in [
        ("create_document", 177), ("get_document", 194), ("overwrite_document", 207),
        ("update_document", 225), ("delete_document", 241)]],
    ("update_document", ("u/1", [1], "t"), AttributeError, 222),
    ("update_document", ("u/1", {}, "t"), ValueError(NO_FIELDS), 222),
    ("update_document", ("u/1", types.SimpleNamespace(keys=lambda: iter(())), "t"),
     ValueError(NO_FIELDS), 222),
    ("update_document", ("u/1", {"\ud800": 1}, "t"), UnicodeEncodeError, 223),  # no UTF-8
    # A "." or ".." segment, which httpx would resolve away: refused once the text is made,
    # before the next piece (a document id that cannot be formatted) is converted.
    ("delete_document", ("notes/../users/victim", "t"), dots("notes/../users/victim"), 241),
    ("get_document", ("notes/x/..", "t"), dots("notes/x/.."), 194),
    ("overwrite_document", (Formatted("./a"), {}, "t"), dots("./a"), 207),
    ("update_document", ("a/.", {"k": 1}, "t"), dots("a/."), 225),
    ("create_document", ("..", Formatted(None), {}, "t"), dots(".."), 177),
    ("create_document", ("a/../../../../../projects/x", None, {}, "t"),
     dots("a/../../../../../projects/x"), 179),
    ("trigger_function", ("/../admin", {}), dots("/../admin"), 405),
    ("trigger_function", ("api/.", {}, False, None, 1, False), dots("api/."), 405),
])
def test_failures_before_the_client(fb, fake, monkeypatch, name, args, error, line):
    """The base URL is looked up by name for the address; an update's keys are taken
    and checked before that."""
    if isinstance(error, NameError):
        monkeypatch.delattr(fb, error.name)
    with pytest.raises(error if isinstance(error, type) else type(error)) as info:
        run(fb, name, *args)
    assert isinstance(error, type) or info.value.args == error.args
    assert entries(info.value) == [(name, line)] and fake.calls == []


# -- the account record out of a lookup reply ---------------------------------

NO_USER = "No user data found for the provided idToken."


@pytest.mark.parametrize("reply, error, line", [
    ({"users": [{"localId": "a"}, {"localId": "b"}]}, {"localId": "a"}, None),
    ({"users": "xyz"}, "x", None), ({}, ValueError, 151), ({"users": []}, ValueError, 151),
    ({"users": 0}, ValueError, 151), ([{"users": [1]}], AttributeError, 149),
    (None, AttributeError, 149), ({"users": 5}, TypeError, 150),
    ({"users": {"x": 1}}, KeyError, 152),
])
def test_lookup_result(fb, mock_http, reply, error, line):
    """The first user, or the failure of taking it (`error` is then the class)."""
    mock_http.handler = lambda request: httpx.Response(200, content=json.dumps(reply).encode())
    if line is None:
        assert run(fb, "get_auth_user_data", "tok") == error
        return
    with pytest.raises(error) as info:
        run(fb, "get_auth_user_data", "tok")
    if error is ValueError:
        assert type(info.value) is ValueError and info.value.args == (NO_USER,)
    assert entries(info.value) == [("get_auth_user_data", 145),
                                   ("tavrin.firebase.get_auth_user_data", line)]
    assert mock_http.clients[0].is_closed


# -- against the stand-ins ----------------------------------------------------

SEGMENT = st.sampled_from([".", "..", "", "a", "b", "a.b", "...", "%", "%2F", "#", "?x", "&",
                           " ", "\u00e9", "__x__"])
NAMES = st.sampled_from(["x", "z.y", "a&b", "with space", "%41", "`\\", "\u00e9"])
FIELDS = st.dictionaries(NAMES, st.builds(lambda v: {"stringValue": v}, st.sampled_from("ab")),
                         max_size=3)
STEP = st.tuples(st.sampled_from(["create_document", "get_document", "overwrite_document",
                                  "update_document", "delete_document"]),
                 st.one_of(SEGMENT.map("notes/".__add__), st.lists(
                     st.one_of(SEGMENT, st.just("notes/kept")), min_size=1, max_size=4).map("/".join)),
                 st.booleans(), FIELDS)


def stored(svc):
    return {path: svc.documents.fields(path) for path in svc.documents.paths()}


@settings(deadline=None, database=None, max_examples=60,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(steps=st.lists(STEP, min_size=1, max_size=5))
@example(steps=[("delete_document", "x/../notes/kept", False, {}),
                ("update_document", "notes/kept/../b", False, {"k": {"stringValue": "b"}})])
def test_each_call_reaches_the_document_named_or_changes_nothing(fb, svc, user, steps):
    """Hostile paths, ids and field names through every document operation, held against
    a model of the store: a call reaches exactly the document named, or fails (refused
    before sending, or a 4xx reply) and no document changes."""
    svc.documents.clear()
    svc.documents.set("notes/kept", {"k": {"stringValue": "k"}})
    for name, path, service_id, data in steps:
        before, sent = stored(svc), len(svc.requests)
        extra = {"overwrite_document": (data,), "update_document": (data,)}.get(name, ())
        if name == "create_document":  # in the path's collection, by its last segment
            path, _, document_id = path.rpartition("/")
            extra = (None if service_id else document_id, data)
        try:
            reply = run(fb, name, path, *extra, user.id_token)
        except ValueError:
            assert len(svc.requests) == sent and stored(svc) == before
            continue
        except httpx.HTTPStatusError as failed:
            assert failed.response.status_code // 100 == 4 and stored(svc) == before
            continue
        if name == "get_document" and path.count("/") % 2 == 0:  # a collection: its listing
            assert "name" not in reply and stored(svc) == before
            continue
        named = path + "/" + document_id if name == "create_document" else path
        if name == "create_document" and not extra[0]:  # the service chose the id
            named = reply["name"].partition("/documents/")[2]
            assert named.rpartition("/")[0] == path
        expected = dict(before)
        if name == "delete_document":
            assert reply == {} and expected.pop(named, None) is not None or named not in before
        else:
            assert reply["name"] == svc.documents.name(named)
            if name == "get_document":
                assert reply.get("fields", {}) == before[named]
            else:
                old = before.get(named, {}) if name == "update_document" else {}
                expected[named] = {**old, **data}
        assert stored(svc) == expected


def test_the_stand_ins_take_bursts(fb, svc, user):
    async def burst():  # 200 operations at once, twenty times in a row
        return await asyncio.gather(*(fb.auth_sign_in(user.email, "secret-1") for _ in range(200)))
    for _ in range(20):
        assert {reply["localId"] for reply in asyncio.run(burst())} == {user.uid}

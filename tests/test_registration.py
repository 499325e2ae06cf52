"""register_new_user_in_firestore: the existence check, then the user and billing records."""
import asyncio
import datetime
import json

import httpx
import pytest

from support import entries, record_status_errors

NAME = "register_new_user_in_firestore"
MESSAGES = {Exception: ("User already exists in Firestore.",),
            ValueError: ("No user id to register.",)}
READ_LINES = [("get_document", 196), ("tavrin.firebase.get_document", 198)]
CREATE_LINES = [("create_document", 182), ("tavrin.firebase.create_document", 184)]


def register(fb, *args):
    return asyncio.run(fb.register_new_user_in_firestore(*args))


# -- over the stand-ins ---------------------------------------------------------

@pytest.mark.parametrize("resumed", [False, True], ids=["new", "user record only"])
def test_registration_writes_both_records(fb, svc, user, resumed):
    uid, email = user.uid, user.email
    if resumed:  # an earlier registration stopped after the user record
        svc.documents.set("users/" + uid, {})
    assert register(fb, uid, email, user.id_token) is None
    sent = [(r.method, r.target.partition("/documents/")[2]) for r in svc.requests]
    assert sent == [("GET", "users/" + uid), ("GET", "billing/" + uid) if resumed else
                    ("POST", "users?documentId=" + uid), ("POST", "billing?documentId=" + uid)]
    assert (svc.documents.fields("users", uid) == {}) is resumed
    billing = svc.documents.fields("billing", uid)
    assert billing == {"user_id": {"stringValue": uid}, "email": {"stringValue": email},
                       "balance": {"doubleValue": 0.0}}
    assert type(billing["balance"]["doubleValue"]) is float


# -- the failure table over a MockTransport -----------------------------------

def status(code):
    return lambda request: httpx.Response(code, json={"error": {"code": code}})


def refuse(request):
    raise httpx.ConnectError("refused", request=request)


def replies(codes):
    """Answers "METHOD collection" as codes says (a status or a handler), else 200."""
    def handler(request):
        collection = request.url.path.partition("/documents/")[2].partition("/")[0]
        answer = codes.get(f"{request.method} {collection}", 200)
        return (answer if callable(answer) else status(answer))(request)
    return handler


READ = [("tavrin.firebase." + NAME, 260)] + READ_LINES
BILLING_READ = [("tavrin.firebase." + NAME, 261)] + READ_LINES
REFUSED = READ_LINES[:1] + [("tavrin.firebase.get_document", 197)]
GETS, CREATE = ["GET users/u1", "GET billing/u1"], ["POST users?documentId=u1"]


# codes: what each "METHOD collection" is answered with; a module name in it
# is rebound (None: deleted) for the call.
@pytest.mark.parametrize("uid, codes, error, lines, requests", [
    ("u1", {}, Exception, [(NAME, 262)], GETS),
    ("u1", {"GET users": 403}, httpx.HTTPStatusError, [(NAME, 265)] + READ, GETS[:1]),
    ("u1", {"GET users": 500}, httpx.HTTPStatusError, [(NAME, 265)] + READ, GETS[:1]),
    ("u1", {"GET users": refuse}, httpx.ConnectError, [(NAME, 260)] + REFUSED, GETS[:1]),
    ("u1", {"get_document": None}, NameError, [(NAME, 260)], []),
    # the handler's class is looked up by name when it is tested
    ("u1", {"GET users": 404, "HTTPStatusError": LookupError}, httpx.HTTPStatusError,
     [(NAME, 260)] + READ_LINES, GETS[:1]),
    ("u1", {"GET users": 404, "POST users": 409}, httpx.HTTPStatusError,
     [(NAME, 276)] + CREATE_LINES, GETS[:1] + CREATE),
    ("u1", {"GET billing": 500}, httpx.HTTPStatusError, [(NAME, 265)] + BILLING_READ, GETS),
    ("u1", {"GET billing": refuse}, httpx.ConnectError, [(NAME, 261)] + REFUSED, GETS),
    ("u1", {"GET billing": 404, "POST billing": 503}, httpx.HTTPStatusError,
     [(NAME, 284)] + CREATE_LINES, GETS + ["POST billing?documentId=u1"]),
    (None, {}, ValueError, [(NAME, 258)], []), ("", {}, ValueError, [(NAME, 258)], []),
    (0, {}, ValueError, [(NAME, 258)], []),
])
def test_failures(fb, mock_http, monkeypatch, uid, codes, error, lines, requests):
    raised = record_status_errors(monkeypatch)
    mock_http.handler = replies(codes)
    for name in codes.keys() & {"get_document", "HTTPStatusError"}:
        monkeypatch.setattr(fb, name, codes[name]) if codes[name] else monkeypatch.delattr(fb, name)
    with pytest.raises(error) as info:
        register(fb, uid, "a@b.c", "tok")
    assert raised[-1:] == ([info.value] if error is httpx.HTTPStatusError else [])
    assert type(info.value) is error and info.value.args == MESSAGES.get(error, info.value.args)
    assert entries(info.value) == lines
    assert [r.method + " " + str(r.url).partition("documents/")[2]
            for r in mock_http.requests] == requests
    assert all(c.is_closed for c in mock_http.clients)


# -- what reaches get_document and create_document ------------------------------

class Frozen(datetime.datetime):
    micro = 0
    seen = []

    @classmethod
    def now(cls, tz=None):
        cls.seen.append(tz)
        return datetime.datetime(2026, 12, 4, 16, 23, 55, cls.micro, tzinfo=tz)


@pytest.mark.parametrize("micro, stamp", [(0, "2026-12-04T16:23:55.000Z"),
                                          (123999, "2026-12-04T16:23:55.123Z")])
def test_values_are_the_arguments_themselves(fb, mock_http, monkeypatch, micro, stamp):
    mock_http.handler = lambda request: status(404 if request.method == "GET" else 200)(request)
    monkeypatch.setattr(Frozen, "micro", micro)
    monkeypatch.setattr(Frozen, "seen", [])
    monkeypatch.setattr(fb, "datetime", Frozen)
    assert register(fb, 42, ["not", "text"], 7) is None
    assert Frozen.seen == [datetime.timezone.utc]
    _, users, billing = mock_http.requests
    assert [str(r.url).rpartition("documents/")[2] for r in mock_http.requests] == [
        "users/42", "users?documentId=42", "billing?documentId=42"]
    assert {r.headers["authorization"] for r in mock_http.requests} == {"Bearer 7"}
    assert list(json.loads(users.content)["fields"].items()) == [
        ("email", {"stringValue": ["not", "text"]}), ("user_id", {"stringValue": 42}),
        ("created_at", {"timestampValue": stamp}), ("active", {"booleanValue": False})]
    assert list(json.loads(billing.content)["fields"].items()) == [
        ("user_id", {"stringValue": 42}), ("email", {"stringValue": ["not", "text"]}),
        ("balance", {"doubleValue": 0.0})]

"""register_new_user_in_firestore: the existence check, then the user and billing records."""
import asyncio
import datetime
import json
import re

import httpx
import pytest

from support import entries, record_status_errors, service_error

DOCS = "/v1/projects/demo-project/databases/(default)/documents/"
NAME = "register_new_user_in_firestore"
EXISTS = "User already exists in Firestore."
STAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z")
READ_LINES = [("get_document", 196), ("tavrin.firebase.get_document", 198)]
CREATE_LINES = [("create_document", 182), ("tavrin.firebase.create_document", 184)]


def register(fb, *args):
    return asyncio.run(fb.register_new_user_in_firestore(*args))


def sent(svc):
    return [(r.method, r.target.removeprefix(DOCS)) for r in svc.requests]


# -- over the stand-ins ---------------------------------------------------------

def test_registration_writes_both_records(fb, svc, user):
    before = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    assert register(fb, user.uid, user.email, user.id_token) is None
    after = datetime.datetime.now(datetime.timezone.utc)
    uid, email = user.uid, user.email
    assert sent(svc) == [("GET", "users/" + uid), ("POST", "users?documentId=" + uid),
                         ("POST", "billing?documentId=" + uid)]
    fields = json.loads(svc.requests[1].body)["fields"]
    stamp = fields["created_at"]["timestampValue"]
    assert list(fields.items()) == [
        ("email", {"stringValue": email}), ("user_id", {"stringValue": uid}),
        ("created_at", {"timestampValue": stamp}), ("active", {"booleanValue": False})]
    assert len(stamp) == 24 and STAMP.fullmatch(stamp)
    assert before <= datetime.datetime.fromisoformat(stamp) <= after
    billing = json.loads(svc.requests[2].body)["fields"]
    assert list(billing.items()) == [
        ("user_id", {"stringValue": uid}), ("email", {"stringValue": email}),
        ("balance", {"doubleValue": 0.0})]
    assert type(billing["balance"]["doubleValue"]) is float
    assert b'"doubleValue":0.0' in svc.requests[2].body.replace(b" ", b"")
    assert svc.documents.fields("users", uid) == fields
    assert svc.documents.fields("billing", uid) == billing


def test_existing_user_is_refused_after_one_read(fb, svc, user):
    svc.documents.set("users/" + user.uid, {})
    with pytest.raises(Exception) as info:
        register(fb, user.uid, user.email, user.id_token)
    assert type(info.value) is Exception and info.value.args == (EXISTS,)
    assert entries(info.value) == [(NAME, 262)]
    assert sent(svc) == [("GET", "users/" + user.uid)]
    assert svc.documents.paths() == ["users/" + user.uid]


def test_refused_read_passes_unchanged(fb, svc, user):
    with pytest.raises(httpx.HTTPStatusError) as info:
        register(fb, user.uid, user.email, "forged")
    assert service_error(info.value)[::2] == (401, "UNAUTHENTICATED")
    assert entries(info.value) == [(NAME, 265), ("tavrin.firebase." + NAME, 260)] + READ_LINES
    assert len(svc.requests) == 1 and svc.documents.paths() == []


def test_refused_billing_leaves_the_user_record(fb, svc, user):
    svc.documents.set("billing/" + user.uid, {})
    with pytest.raises(httpx.HTTPStatusError) as info:
        register(fb, user.uid, user.email, user.id_token)
    assert service_error(info.value)[::2] == (409, "ALREADY_EXISTS")
    assert entries(info.value) == [(NAME, 284)] + CREATE_LINES
    assert [m for m, _ in sent(svc)] == ["GET", "POST", "POST"]
    assert svc.documents.fields("users", user.uid)["user_id"] == {"stringValue": user.uid}


# -- the failure table over a MockTransport -----------------------------------

def status(code):
    return lambda request: httpx.Response(code, json={"error": {"code": code}})


@pytest.mark.parametrize("code", [400, 403, 500])
def test_read_failing_with_another_status_is_re_raised(fb, mock_http, monkeypatch, code):
    raised = record_status_errors(monkeypatch)
    mock_http.handler = status(code)
    with pytest.raises(httpx.HTTPStatusError) as info:
        register(fb, "u1", "a@b.c", "tok")
    assert raised == [info.value] and info.value.response.status_code == code
    assert entries(info.value) == [(NAME, 265), ("tavrin.firebase." + NAME, 260)] + READ_LINES
    assert len(mock_http.requests) == 1


def refuse(request):
    raise httpx.ConnectError("refused", request=request)


@pytest.mark.parametrize("case", ["transport", "no get_document", "handler rebound"])
def test_read_failure_the_handler_does_not_take(fb, mock_http, monkeypatch, case):
    mock_http.handler = status(404)
    if case == "transport":
        mock_http.handler = refuse
        error, requests, inner = httpx.ConnectError, 1, READ_LINES[:1] + [
            ("tavrin.firebase.get_document", 197)]
    elif case == "no get_document":
        monkeypatch.delattr(fb, "get_document")
        error, requests, inner = NameError, 0, []
    else:  # the handler's class is looked up by name when it is tested
        monkeypatch.setattr(fb, "HTTPStatusError", LookupError)
        error, requests, inner = httpx.HTTPStatusError, 1, READ_LINES
    with pytest.raises(error) as info:
        register(fb, "u1", "a@b.c", "tok")
    assert entries(info.value) == [(NAME, 260)] + inner
    assert len(mock_http.requests) == requests


def test_refused_user_record_stops_before_billing(fb, mock_http):
    mock_http.handler = lambda request: status(404 if request.method == "GET" else 409)(request)
    with pytest.raises(httpx.HTTPStatusError) as info:
        register(fb, "u1", "a@b.c", "tok")
    assert info.value.response.status_code == 409
    assert entries(info.value) == [(NAME, 276)] + CREATE_LINES
    assert [(r.method, r.url.path.rpartition("/")[2], r.url.query) for r in mock_http.requests] == [
        ("GET", "u1", b""), ("POST", "users", b"documentId=u1")]
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
    assert json.loads(users.content)["fields"] == {
        "email": {"stringValue": ["not", "text"]}, "user_id": {"stringValue": 42},
        "created_at": {"timestampValue": stamp}, "active": {"booleanValue": False}}
    assert json.loads(billing.content)["fields"]["user_id"] == {"stringValue": 42}

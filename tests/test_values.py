"""tavrin.firestore_values: Firestore's JSON forms both ways, the errors, a
round trip and a decoder fuzz against the plain Python rendering in
bench/values_baseline.py, the two types, loading, and documents written
through the stand-ins read back equal."""
import ast
import asyncio
import datetime as dt
import enum
import gc
import importlib
import inspect
import math
import re
import sys
import types
from collections.abc import Mapping
from pathlib import Path

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "bench"))
import values_baseline as baseline  # noqa: E402

fv = importlib.import_module("tavrin.firestore_values")
GeoPoint, Reference = fv.GeoPoint, fv.Reference
# The rendering on the native types, so that both sides' results compare equal.
baseline.GeoPoint, baseline.Reference = GeoPoint, Reference
UTC = dt.timezone.utc
NAME = "projects/p/databases/(default)/documents/notes/n1"
SETTINGS = dict(deadline=None, database=None,
                suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])


class Colour(enum.IntEnum):
    RED = 7


class Tag(str, enum.Enum):
    TODO = "todo"


class Shifted(dt.datetime):
    def utcoffset(self):  # no part of the moment, as in datetime's comparisons
        return dt.timedelta(days=213503982, seconds=26)  # 2**64 µs and 26 s


def typed_map(**fields):
    return {"mapValue": {"fields": fields}}


# (Python value, its typed value, which way: both, encode only, decode only)
FORMS = [
    (None, {"nullValue": None}, "both"),
    (None, {"nullValue": "NULL_VALUE"}, "decode"),
    (True, {"booleanValue": True}, "both"),
    (-2**63, {"integerValue": "-9223372036854775808"}, "both"),
    (2**63 - 1, {"integerValue": "9223372036854775807"}, "both"),
    (Colour.RED, {"integerValue": "7"}, "encode"),
    (12, {"integerValue": 12}, "decode"),
    (12, {"integerValue": 12.0}, "decode"),
    (-0.0, {"doubleValue": -0.0}, "both"),
    (2.0, {"doubleValue": 2}, "decode"),
    (math.inf, {"doubleValue": "Infinity"}, "both"),
    (-math.inf, {"doubleValue": "-Infinity"}, "both"),
    ("tavrin ✓", {"stringValue": "tavrin ✓"}, "both"),
    (Tag.TODO, {"stringValue": "todo"}, "encode"),
    (b"", {"bytesValue": ""}, "both"),
    (b"\x00\xfb\xff", {"bytesValue": "APv/"}, "both"),
    (bytearray(b"ab"), {"bytesValue": "YWI="}, "encode"),
    (memoryview(b"abcd")[::2], {"bytesValue": "YWM="}, "encode"),
    (dt.datetime(2024, 5, 1, 12, tzinfo=UTC), {"timestampValue": "2024-05-01T12:00:00Z"}, "both"),
    (dt.datetime(1, 1, 1, 0, 0, 0, 5, tzinfo=UTC), {"timestampValue": "0001-01-01T00:00:00.000005Z"},
     "both"),
    (Shifted(2024, 3, 1, 1, 30, tzinfo=dt.timezone(dt.timedelta(hours=2))),
     {"timestampValue": "2024-02-29T23:30:00Z"}, "encode"),
    (dt.datetime(2024, 2, 29, 23, 30, 0, 123456, tzinfo=UTC),
     {"timestampValue": "2024-03-01T01:30:00.123456789+02:00"}, "decode"),
    (dt.datetime(2024, 5, 1, 12, 0, 0, 500000, tzinfo=UTC), {"timestampValue": "2024-05-01T12:00:00.5Z"},
     "decode"),
    (dt.datetime(2024, 5, 1, 12, 45, tzinfo=UTC), {"timestampValue": "2024-05-01T12:00:00-00:45"},
     "decode"),
    (GeoPoint(-90, 180.0), {"geoPointValue": {"latitude": -90.0, "longitude": 180.0}}, "both"),
    (GeoPoint(0, 1.5), {"geoPointValue": {"longitude": 1.5}}, "decode"),
    (Reference(NAME), {"referenceValue": NAME}, "both"),
    ([], {"arrayValue": {}}, "both"),
    ((1, "a"), {"arrayValue": {"values": [{"integerValue": "1"}, {"stringValue": "a"}]}}, "encode"),
    ({}, {"mapValue": {}}, "both"),
    ({}, {"mapValue": {"fields": {}}}, "decode"),
    (types.MappingProxyType({"a": [{"b": None}]}), typed_map(a={"arrayValue": {"values": [
        typed_map(b={"nullValue": None})]}}), "encode"),
    # depth counts the containers around a value, not every one met before it
    ([{"k": [1]}] * 25, {"arrayValue": {"values": [typed_map(k={"arrayValue": {"values": [
        {"integerValue": "1"}]}})] * 25}}, "both"),
]


def normal(value):
    """What decoding gives back for an encoded value."""
    if isinstance(value, (list, tuple)):
        return [normal(v) for v in value]
    if isinstance(value, Mapping):
        return {str.__str__(k): normal(v) for k, v in value.items()}
    if isinstance(value, (bytearray, memoryview)):
        return bytes(value)
    if isinstance(value, dt.datetime):
        return value.astimezone(UTC).replace(fold=0)
    return value


@pytest.mark.parametrize("value, typed, way", FORMS)
def test_json_forms(value, typed, way):
    for codec in (fv, baseline):
        if way != "decode":
            encoded = codec.to_value(value)
            assert encoded == typed and repr(encoded) == repr(typed)  # -0.0 and the types too
            assert codec.to_fields({"f": value}) == {"f": typed}
        if way != "encode":
            decoded = codec.from_value(typed)
            assert repr(decoded) == repr(normal(value)), codec
            assert codec.from_document({"name": NAME, "fields": {"f": typed}}) == {"f": decoded}
    assert math.isnan(fv.from_value(fv.to_value(math.nan)))


def nested(depth, leaf):
    for _ in range(depth):
        leaf = {"a": leaf}
    return leaf


def cycle():
    d = {"tags": [1]}
    d["tags"].append({"back": d})
    return d


class Zone(dt.tzinfo):
    def __init__(self, offset=None):
        self.offset = offset

    def utcoffset(self, when):
        return self.offset


# (function, argument, exception type, message)
ERRORS = [
    ("to_fields", {"note": {"tags": [1, 2, {3}]}}, TypeError,
     "note.tags[2]: cannot store a value of type set in Firestore"),
    ("to_value", dt.date(2024, 5, 1), TypeError,
     "<value>: cannot store a value of type datetime.date in Firestore"),
    ("to_value", [dt.time()], TypeError,
     "<value>[0]: cannot store a value of type datetime.time in Firestore"),
    ("to_value", {"when": dt.datetime(2024, 5, 1)}, ValueError,
     "<value>.when: a naive datetime cannot be stored in Firestore; give it a time zone"),
    ("to_value", dt.datetime(2024, 5, 1, tzinfo=Zone()), ValueError,
     "<value>: a naive datetime cannot be stored in Firestore; give it a time zone"),
    ("to_value", dt.datetime(9999, 12, 31, 23, tzinfo=dt.timezone(-dt.timedelta(hours=2))),
     ValueError, "<value>: datetime.datetime(9999, 12, 31, 23, 0, tzinfo=datetime.timezone("
     "datetime.timedelta(days=-1, seconds=79200))) lies outside the years 0001-9999 in UTC"),
    ("to_value", [dt.datetime(2024, 5, 1, tzinfo=Zone(Shifted.utcoffset(None)))], ValueError,
     "<value>[0]: the time zone's offset datetime.timedelta(days=213503982, seconds=26) is not "
     "within a day"),
    ("to_value", [0, 2**63], ValueError,
     "<value>[1]: an integer outside 64 bits cannot be stored in Firestore"),
    ("to_value", -2**63 - 1, ValueError,
     "<value>: an integer outside 64 bits cannot be stored in Firestore"),
    ("to_fields", {"a": [(1,)]}, ValueError, "a[0]: Firestore cannot store an array directly "
     "inside an array (put a map between)"),
    ("to_fields", {"a": {1: 2}}, TypeError, "a: a field name must be a str, not int"),
    ("to_fields", {"x": 1, 2: 3}, TypeError, "a field name must be a str, not int"),
    ("to_fields", [("a", 1)], TypeError, "to_fields() takes a mapping of field names, not list"),
    ("to_fields", {"x": nested(20, 1)}, None, None),
    ("to_fields", {"x": nested(21, 1)}, ValueError,
     "x" + ".a" * 20 + ": nested deeper than 20 levels of maps and arrays"),
    ("to_value", nested(21, []), ValueError,
     "<value>" + ".a" * 20 + ": nested deeper than 20 levels of maps and arrays"),
    ("to_fields", cycle(), ValueError, "tags[1].back: the value contains itself"),
    ("from_value", {"mapValue": {"fields": {"outer": typed_map(inner={"integerValue": "1x"})}}},
     ValueError, "<value>.outer.inner: integerValue must be a decimal string or an integer within "
     "64 bits, not '1x'"),
    ("from_fields", {"a": {"integerValue": "9223372036854775808"}}, ValueError,
     "a: integerValue must be a decimal string or an integer within 64 bits, "
     "not '9223372036854775808'"),
    ("from_fields", {"a": {"integerValue": True}}, ValueError,
     "a: integerValue must be a decimal string or an integer within 64 bits, not True"),
    ("from_fields", {"a": {"doubleValue": "nan"}}, ValueError,
     "a: doubleValue must be a number, \"NaN\", \"Infinity\" or \"-Infinity\", not 'nan'"),
    ("from_fields", {"t": {"timestampValue": "2023-02-29T00:00:00Z"}}, ValueError,
     "t: timestampValue must be an RFC 3339 time (2024-05-01T12:00:00.5Z), "
     "not '2023-02-29T00:00:00Z'"),
    ("from_value", {"timestampValue": "2024-05-01T12:00:00.1234567890Z"}, ValueError,
     "<value>: timestampValue must be an RFC 3339 time (2024-05-01T12:00:00.5Z), "
     "not '2024-05-01T12:00:00.1234567890Z'"),
    ("from_value", {"timestampValue": "0001-01-01T00:30:00+01:00"}, ValueError,
     "<value>: timestampValue '0001-01-01T00:30:00+01:00' lies outside the years 0001-9999 in UTC"),
    ("from_value", {"bytesValue": "YWI"}, ValueError,
     "<value>: bytesValue must be standard base64 with padding, not 'YWI'"),
    ("from_value", {"bytesValue": "YW_="}, ValueError,
     "<value>: bytesValue must be standard base64 with padding, not 'YW_='"),
    ("from_value", {"geoPointValue": {"latitude": 91}}, ValueError,
     "<value>: a GeoPoint's latitude must be a finite number in [-90, 90], not {'latitude': 91}"),
    ("from_value", {"geoPointValue": {"lat": 1}}, ValueError,
     "<value>: geoPointValue must be a dict of latitude and longitude, not {'lat': 1}"),
    ("from_value", {"referenceValue": "notes/n1"}, ValueError,
     "<value>: a Reference needs a full document name, projects/P/databases/D/documents/"
     "COLLECTION/ID[/COLLECTION/ID...], not 'notes/n1'"),
    ("from_value", {"arrayValue": {"values": [{"nullValue": None}, {"nullValue": 0}]}}, ValueError,
     "<value>[1]: nullValue must be null, not 0"),
    ("from_value", {"arrayValue": {"value": []}}, ValueError,
     "<value>: arrayValue must be {} or {\"values\": ...}, not {'value': []}"),
    ("from_value", {"mapValue": {"fields": []}}, ValueError, "<value>: fields must be a dict, not list"),
    ("from_value", {"stringValue": "a", "integerValue": "1"}, ValueError,
     "<value>: a typed value must hold one kind, not 2 keys"),
    ("from_value", {"textValue": "a"}, ValueError, "<value>: unknown kind of value 'textValue'"),
    ("from_value", "a", ValueError, "<value>: a typed value must be a dict of one kind, not str"),
    ("from_document", [], ValueError, "from_document() takes a document (a dict), not list"),
    ("document_id", {"fields": {}}, ValueError, "the document has no name: {'fields': {}}"),
    ("document_id", {"name": "notes/"}, ValueError, "not a document name: 'notes/'"),
]


@pytest.mark.parametrize("function, argument, exc_type, message", ERRORS)
def test_errors(function, argument, exc_type, message):
    for codec in (fv, baseline):
        if exc_type is None:
            getattr(codec, function)(argument)
            continue
        with pytest.raises(exc_type) as caught:
            getattr(codec, function)(argument)
        assert str(caught.value) == message, codec


class Growing(dt.tzinfo):
    """Adds a field to the dict it sits in each time it is asked."""
    def __init__(self, fields):
        self.fields = fields

    def utcoffset(self, when):
        self.fields[str(len(self.fields))] = dt.datetime(2024, 1, 1, tzinfo=self)
        return dt.timedelta(0) if len(self.fields) < 1000 else None


class Peeking(dt.tzinfo):
    """Reads every list, as any code may through gc.get_objects()."""
    def utcoffset(self, when):
        for o in gc.get_objects():
            if type(o) is list:
                o[:]  # noqa: B018
        return None


class Listed(Mapping):
    __getitem__ = __iter__ = __len__ = None  # only items() is asked

    def items(self):
        return [["a", 1]]


def hostile():
    deep, loop, grown = {"nullValue": None}, {"arrayValue": {"values": []}}, {}
    for _ in range(10000):
        deep = {"mapValue": {"fields": {"a": deep}}}
    loop["arrayValue"]["values"].append(loop)
    grown["0"] = dt.datetime(2024, 1, 1, tzinfo=Growing(grown))
    return [(fv.from_value, deep, ValueError, r"<value>(\.a){20}: nested deeper than 20 levels "
             r"of maps and arrays"),
            (fv.from_value, loop, ValueError, r"<value>\[0\]: the value contains itself"),
            (fv.to_value, {"f": grown}, RuntimeError, r"<value>\.f: the mapping changed size while "
             r"it was read"),
            (fv.to_value, [dt.datetime(2024, 1, 1, tzinfo=Peeking())], ValueError,
             r"<value>\[0\]: a naive datetime cannot .*"),
            (fv.to_value, {"m": Listed()}, TypeError, r"<value>\.m: a Mapping's items\(\) must give "
             r"\(key, value\) pairs")]


@pytest.mark.parametrize("function, argument, exc_type, pattern", hostile())
def test_hostile_values(function, argument, exc_type, pattern):
    # Only the native codec: the plain rendering says these in Python's words.
    with pytest.raises(exc_type) as caught:
        function(argument)
    assert re.fullmatch(pattern, str(caught.value))


# ---- round trip and fuzz --------------------------------------------------------

zones = st.builds(lambda minutes: dt.timezone(dt.timedelta(minutes=minutes)),
                  st.integers(-1439, 1439))
scalars = st.one_of(
    st.none(), st.booleans(), st.integers(-2**63, 2**63 - 1), st.floats(allow_nan=False),
    st.text(), st.binary(), st.datetimes(min_value=dt.datetime(1, 1, 2), max_value=dt.datetime(
        9999, 12, 30), timezones=zones),
    st.builds(GeoPoint, st.floats(-90, 90), st.floats(-180, 180)),
    st.builds(lambda p: Reference(NAME + "/" + p), st.from_regex(r"[^/]+/[^/]+", fullmatch=True)))


def no_arrays_in_arrays(children):
    return st.one_of(st.lists(st.one_of(scalars, st.dictionaries(st.text(), children, max_size=3)),
                              max_size=4),
                     st.dictionaries(st.text(), children, max_size=4))


@settings(max_examples=300, **SETTINGS)
@given(value=st.recursive(scalars, no_arrays_in_arrays, max_leaves=30))
def test_round_trip(value):
    encoded = fv.to_value(value)
    assert encoded == baseline.to_value(value)
    assert repr(fv.from_value(encoded)) == repr(normal(value))


def mutations(typed):
    """A typed value with its content or kind replaced at some depth."""
    return st.one_of(st.just(typed), st.builds(lambda k, c: {k: c}, st.sampled_from(
        list(baseline.DECODERS) + ["x", "nullvalue"]), json_like))


json_like = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=12),
              st.sampled_from(["NaN", "-Infinity", "NULL_VALUE", "AA==", "A===", "-0", "0" * 25,
                               "2024-02-29T23:59:59.999999999-23:59", "0000-01-01T00:00:00Z",
                               "9999-12-31T23:59:59+00:00", "2024-05-01T12:00:00.Z", NAME,
                               NAME + "/c", "projects//databases/d/documents/a/b"])),
    lambda children: st.one_of(st.lists(children, max_size=3),
                               st.dictionaries(st.sampled_from(list(baseline.DECODERS) + [
                                   "values", "fields", "latitude", "longitude", "x"]),
                                   children, max_size=3)),
    max_leaves=12)


def outcome(call, argument):
    try:
        return repr(call(argument))
    except Exception as exc:
        return type(exc).__name__, str(exc)


@settings(max_examples=1500, **SETTINGS)
@given(typed=st.one_of(json_like, json_like.flatmap(mutations),
                       scalars.map(fv.to_value).flatmap(mutations)))
@example({"timestampValue": "2024-12-31T24:00:00Z"})
@example({"integerValue": "+1"})
@example({"timestampValue": "1900-02-29T00:00:00Z"})
@example({"geoPointValue": {"latitude": 10**400}})
def test_decoder_agrees_with_the_plain_rendering(typed):
    # Whatever the input, the decoder returns or raises ValueError, exactly as
    # the Python rendering does.
    native = outcome(fv.from_value, typed)
    assert native == outcome(baseline.from_value, typed)
    assert native[0] == "ValueError" if isinstance(native, tuple) else True


# ---- the types, the module ------------------------------------------------------

def test_geopoint_and_reference():
    g, r = GeoPoint(latitude=45, longitude=-7.5), Reference(NAME + "/c/d")
    assert (g.latitude, g.longitude, r.name, r.path) == (45.0, -7.5, NAME + "/c/d", "notes/n1/c/d")
    for obj, same, other in [(g, GeoPoint(45.0, -7.5), GeoPoint(45, 7.5)),
                             (r, Reference(NAME + "/c/d"), Reference(NAME))]:
        assert eval(repr(obj), vars(fv)) == obj == same and obj != other and obj != repr(obj)
        assert len({obj, same, other}) == 2 and hash(obj) == hash(same)
        with pytest.raises(AttributeError):
            obj.__dict__  # noqa: B018
        for attribute in ("latitude", "name"):
            with pytest.raises(AttributeError):
                setattr(obj, attribute, 1)
        with pytest.raises(TypeError):
            type("Sub", (type(obj),), {})
    with pytest.raises(TypeError):
        g < GeoPoint(0, 0)  # noqa: B015


@pytest.mark.parametrize("args, exc_type", [
    ((90.0000001, 0), ValueError), ((0, -180.5), ValueError), ((math.nan, 0), ValueError),
    ((0, math.inf), ValueError), ((10**400, 0), ValueError), ((True, 0), TypeError), (("1", 0), TypeError), ((1,), TypeError)])
def test_geopoint_refuses(args, exc_type):
    with pytest.raises(exc_type):
        GeoPoint(*args)


@pytest.mark.parametrize("name", [
    "projects/p/databases/d/documents/a", "projects/p/databases/d/documents/a/b/c",
    "projects/p/databases/d/documents//b", "projects/p/databases/d/documents/a/b/",
    "projects/p/databases//documents/a/b", "projects/p/database/d/documents/a/b",
    "notes/n1", ""])
def test_reference_refuses(name):
    with pytest.raises(ValueError, match="^a Reference needs a full document name"):
        Reference(name)


def test_module(run_py):
    assert fv.__name__ == "tavrin.firestore_values" and fv.__spec__.parent == "tavrin"
    assert fv.to_value.__text_signature__ == "(value, /)" and "typed value" in fv.to_value.__doc__
    assert fv.document_id({"name": NAME}) == "n1" and fv.from_document({"name": NAME}) == {}
    # Each interpreter, of its own GIL too, imports its own module object.
    proc = run_py("""
        from concurrent import interpreters
        from tavrin import firestore_values as fv
        for _ in range(2):
            interp = interpreters.create()
            interp.exec("from tavrin import firestore_values as fv; import datetime as dt; "
                        "assert fv.from_value(fv.to_value(dt.datetime(2024, 1, 1, tzinfo=dt.UTC)))"
                        " == dt.datetime(2024, 1, 1, tzinfo=dt.UTC)")
            interp.close()
        print(fv.to_value(fv.GeoPoint(1, 2)))
        """)
    assert proc.returncode == 0 and proc.stdout == (
        "{'geoPointValue': {'latitude': 1.0, 'longitude': 2.0}}\n"), proc.stderr


def test_documents_written_through_the_stand_ins_read_back_equal(fb, svc, user):
    note = {"title": "groceries", "done": False, "count": 3, "score": 0.25, "missing": None,
            "tags": ["milk", 2, {"x": b"\x00"}], "when": dt.datetime(2024, 5, 1, 12, 30, tzinfo=UTC),
            "where": GeoPoint(48.2, 16.37), "owner": Reference(NAME), "meta": {}, "empty": [],
            "limit": math.inf}
    token = user.id_token
    created = asyncio.run(fb.create_document("notes", None, fv.to_fields(note), token))
    path = "notes/" + fv.document_id(created)
    read = asyncio.run(fb.get_document(path, token))
    assert fv.from_document(created) == fv.from_document(read) == note
    asyncio.run(fb.update_document(path, fv.to_fields({"done": True}), token))
    assert fv.from_document(asyncio.run(fb.get_document(path, token))) == dict(note, done=True)


def test_stub_matches_the_module():
    tree = ast.parse((REPO / "stubs" / "tavrin" / "firestore_values.pyi").read_text())
    functions = {node.name: [a.arg for a in node.args.posonlyargs] + ["/"] for node in tree.body
                 if isinstance(node, ast.FunctionDef) and not node.args.args}
    classes = {node.name for node in tree.body if isinstance(node, ast.ClassDef)}
    published = {name: v for name, v in vars(fv).items() if not name.startswith("_")}
    assert set(functions) | classes == set(published)
    for name, params in functions.items():
        assert published[name].__text_signature__ == f"({', '.join(params)})", name

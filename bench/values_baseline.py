"""A plain Python rendering of tavrin.firestore_values: the same functions,
types, rules and messages, with the standard library doing the text forms
(datetime.fromisoformat and isoformat, base64.b64decode and b64encode).
bench/values.py measures the native codec against it; the tests use it as a
second opinion on hostile input."""

import base64
import binascii
import datetime as dt
import math
import re
from collections.abc import Mapping

MAX_DEPTH = 20
ROOT = "<value>"
UTC, DAY = dt.timezone.utc, dt.timedelta(days=1)
INT64_MIN, INT64_END = -2**63, 2**63
# (fromisoformat also takes hour 24, which RFC 3339 has not.)
TIMESTAMP = re.compile(r"\d{4}-\d\d-\d\dT(?:[01]\d|2[0-3]):\d\d:\d\d(?:\.(\d{1,9}))?(Z|[+-]\d\d:\d\d)", re.ASCII)
INTEGER = re.compile(r"-?[0-9]+")
DOCUMENT_NAME = re.compile(r"projects/[^/]+/databases/[^/]+/documents/[^/]+/[^/]+(?:/[^/]+/[^/]+)*")
WORDS = {"NaN": math.nan, "Infinity": math.inf, "-Infinity": -math.inf}
BAD_NAME = ("a Reference needs a full document name, "
            "projects/P/databases/D/documents/COLLECTION/ID[/COLLECTION/ID...]")


def type_name(value):
    t = type(value)
    return t.__qualname__ if t.__module__ == "builtins" else f"{t.__module__}.{t.__qualname__}"


def geopoint_problem(latitude, longitude):
    if not (math.isfinite(latitude) and -90.0 <= latitude <= 90.0):
        return "a GeoPoint's latitude must be a finite number in [-90, 90]"
    if not (math.isfinite(longitude) and -180.0 <= longitude <= 180.0):
        return "a GeoPoint's longitude must be a finite number in [-180, 180]"
    return None


class GeoPoint:
    __slots__ = ("latitude", "longitude")

    def __init__(self, latitude, longitude):
        for what, value in (("latitude", latitude), ("longitude", longitude)):
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise TypeError(f"GeoPoint {what} must be a float, not {type_name(value)}")
        if problem := geopoint_problem(float(latitude), float(longitude)):
            raise ValueError(f"{problem}, not ({latitude!r}, {longitude!r})")
        self.latitude, self.longitude = float(latitude), float(longitude)

    def __eq__(self, other):
        if type(other) is not GeoPoint:
            return NotImplemented
        return (self.latitude, self.longitude) == (other.latitude, other.longitude)

    def __hash__(self):
        return hash((self.latitude, self.longitude))

    def __repr__(self):
        return f"GeoPoint(latitude={self.latitude!r}, longitude={self.longitude!r})"


class Reference:
    __slots__ = ("name", "path")

    def __init__(self, name):
        if not isinstance(name, str):
            raise TypeError(f"Reference() argument 1 must be str, not {type_name(name)}")
        if not DOCUMENT_NAME.fullmatch(name):
            raise ValueError(f"{BAD_NAME}, not {name!r:.200}")
        self.name = str.__str__(name)
        self.path = self.name.split("/", 5)[5]

    def __eq__(self, other):
        return self.name == other.name if type(other) is Reference else NotImplemented

    def __hash__(self):
        return hash(self.name)

    def __repr__(self):
        return f"Reference({self.name!r})"


class Walk:
    """The place in a value: the containers entered and the path's parts."""

    def __init__(self, root):
        self.parts, self.containers, self.levels = [root] if root else [], [], 0

    def enter(self, container):
        if self.levels == MAX_DEPTH:
            self.fail(ValueError, f"nested deeper than {MAX_DEPTH} levels of maps and arrays")
        if any(c is container for c in self.containers):
            self.fail(ValueError, "the value contains itself")
        self.levels += 1
        self.containers.append(container)

    def leave(self):
        self.levels -= 1
        self.containers.pop()

    def at(self, key):
        self.parts.append(f".{key}" if self.parts else key)

    def fail(self, exc_type, message):
        place = "".join(self.parts)
        raise exc_type(f"{place}: {message}" if place else message)


# ---- encoding -------------------------------------------------------------------

def encode(value, walk):
    if type(value) is str:
        return {"stringValue": value}
    if isinstance(value, bool):
        return {"booleanValue": value}
    if isinstance(value, int):
        if not INT64_MIN <= value < INT64_END:
            walk.fail(ValueError, "an integer outside 64 bits cannot be stored in Firestore")
        return {"integerValue": str(int(value))}
    if isinstance(value, float):
        if math.isnan(value):
            return {"doubleValue": "NaN"}
        if math.isinf(value):
            return {"doubleValue": "Infinity" if value > 0 else "-Infinity"}
        return {"doubleValue": float(value)}
    if value is None:
        return {"nullValue": None}
    if isinstance(value, dict):
        return {"mapValue": encode_map(value, walk)}
    if isinstance(value, (list, tuple)):
        return {"arrayValue": encode_array(value, walk)}
    if isinstance(value, dt.datetime):
        return {"timestampValue": encode_timestamp(value, walk)}
    if isinstance(value, str):
        return {"stringValue": str.__str__(value)}
    if isinstance(value, (bytes, bytearray, memoryview)):
        data = bytes(value) if isinstance(value, memoryview) else value
        return {"bytesValue": base64.b64encode(data).decode("ascii")}
    if type(value) is GeoPoint:
        return {"geoPointValue": {"latitude": value.latitude, "longitude": value.longitude}}
    if type(value) is Reference:
        return {"referenceValue": value.name}
    if isinstance(value, Mapping):
        return {"mapValue": encode_map(value, walk)}
    walk.fail(TypeError, f"cannot store a value of type {type_name(value)} in Firestore")


def encode_timestamp(value, walk):
    # From the time zone, as datetime's comparisons find the moment.
    offset = None if value.tzinfo is None else value.tzinfo.utcoffset(value)
    if offset is None:
        walk.fail(ValueError, "a naive datetime cannot be stored in Firestore; give it a time zone")
    if not isinstance(offset, dt.timedelta):
        walk.fail(TypeError, f"the time zone's utcoffset() gave {type_name(offset)}, not a timedelta")
    if not -DAY < offset < DAY:
        walk.fail(ValueError, f"the time zone's offset {offset!r} is not within a day")
    try:
        utc = value.replace(tzinfo=None) - offset
    except OverflowError:
        walk.fail(ValueError, f"{value!r} lies outside the years 0001-9999 in UTC")
    return utc.isoformat(timespec="microseconds" if utc.microsecond else "seconds") + "Z"


def convert_fields(mapping, walk, key_error, convert):
    fields = {}
    for key, value in mapping.items():
        if not isinstance(key, str):
            walk.fail(key_error, f"a field name must be a str, not {type_name(key)}")
        walk.at(key)
        fields[str.__str__(key)] = convert(value, walk)
        walk.parts.pop()
    return fields


def encode_fields(mapping, walk):
    return convert_fields(mapping, walk, TypeError, encode)


def encode_map(mapping, walk):
    walk.enter(mapping)
    fields = encode_fields(mapping, walk)
    walk.leave()
    return {"fields": fields} if fields else {}


def encode_array(sequence, walk):
    walk.enter(sequence)
    values = []
    for i, item in enumerate(sequence):
        walk.parts.append(f"[{i}]")
        if isinstance(item, (list, tuple)):
            walk.fail(ValueError, "Firestore cannot store an array directly inside an array "
                                  "(put a map between)")
        values.append(encode(item, walk))
        walk.parts.pop()
    walk.leave()
    return {"values": values} if values else {}


def to_value(value):
    return encode(value, Walk(ROOT))


def to_fields(mapping):
    if not isinstance(mapping, Mapping):
        raise TypeError(f"to_fields() takes a mapping of field names, not {type_name(mapping)}")
    walk = Walk(None)
    walk.containers.append(mapping)
    return encode_fields(mapping, walk)


# ---- decoding -------------------------------------------------------------------

def malformed(walk, kind, expected, content):
    walk.fail(ValueError, f"{kind} must be {expected}, not {content!r:.80}")


def is_number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def decode_null(content, walk):
    if content is not None and not (isinstance(content, str) and content == "NULL_VALUE"):
        malformed(walk, "nullValue", "null", content)


def decode_boolean(content, walk):
    if not isinstance(content, bool):
        malformed(walk, "booleanValue", "true or false", content)
    return content


def decode_integer(content, walk):
    if isinstance(content, str) and INTEGER.fullmatch(content):
        if INT64_MIN <= (value := int(content)) < INT64_END:
            return value
    elif isinstance(content, int) and not isinstance(content, bool) and INT64_MIN <= content < INT64_END:
        return int(content)
    elif isinstance(content, float) and content.is_integer() and -2.0**63 <= content < 2.0**63:
        return int(content)
    malformed(walk, "integerValue", "a decimal string or an integer within 64 bits", content)


def decode_double(content, walk):
    if isinstance(content, float):
        return float(content)
    if isinstance(content, int) and not isinstance(content, bool):
        try:
            return float(content)
        except OverflowError:
            pass
    elif isinstance(content, str) and content in WORDS:
        return WORDS[content]
    malformed(walk, "doubleValue", 'a number, "NaN", "Infinity" or "-Infinity"', content)


def decode_timestamp(content, walk):
    match = TIMESTAMP.fullmatch(content) if isinstance(content, str) else None
    try:
        if not match:
            raise ValueError
        fraction = "." + match[1][:6].ljust(6, "0") if match[1] else ""
        zone = "+00:00" if match[2] == "Z" else match[2]
        local = dt.datetime.fromisoformat(content[:19] + fraction + zone)
    except ValueError:
        malformed(walk, "timestampValue", "an RFC 3339 time (2024-05-01T12:00:00.5Z)", content)
    try:
        return local.astimezone(UTC)
    except OverflowError:
        walk.fail(ValueError, f"timestampValue {content!r} lies outside the years 0001-9999 in UTC")


def decode_string(content, walk):
    if not isinstance(content, str):
        malformed(walk, "stringValue", "a string", content)
    return str.__str__(content)


def decode_bytes(content, walk):
    try:
        if not isinstance(content, str) or len(content) % 4:
            raise ValueError
        return base64.b64decode(content, validate=True)
    except (ValueError, binascii.Error):
        malformed(walk, "bytesValue", "standard base64 with padding", content)


def decode_reference(content, walk):
    if not isinstance(content, str):
        malformed(walk, "referenceValue", "a document name", content)
    if not DOCUMENT_NAME.fullmatch(content):
        walk.fail(ValueError, f"{BAD_NAME}, not {content!r:.200}")
    return Reference(content)


def decode_geopoint(content, walk):
    if not isinstance(content, dict) or not set(content) <= {"latitude", "longitude"}:
        malformed(walk, "geoPointValue", "a dict of latitude and longitude", content)
    degrees = []
    for key in ("latitude", "longitude"):
        value = content.get(key, 0.0)
        if not is_number(value):
            malformed(walk, "geoPointValue", "a dict of latitude and longitude", content)
        try:
            degrees.append(float(value))
        except OverflowError:
            degrees.append(math.inf)
    if problem := geopoint_problem(*degrees):
        walk.fail(ValueError, f"{problem}, not {content!r:.80}")
    return GeoPoint(*degrees)


def container_items(content, walk, kind, member):
    if not isinstance(content, dict) or not set(content) <= {member}:
        walk.fail(ValueError, f'{kind} must be {{}} or {{"{member}": ...}}, not {content!r:.80}')
    return content.get(member)


def decode_array(content, walk):
    values = container_items(content, walk, "arrayValue", "values")
    if values is None and "values" not in content:
        return []
    if not isinstance(values, list):
        malformed(walk, "arrayValue", '{"values": [...]}', content)
    walk.enter(content)
    out = []
    for i, item in enumerate(values):
        walk.parts.append(f"[{i}]")
        out.append(decode(item, walk))
        walk.parts.pop()
    walk.leave()
    return out


def decode_map(content, walk):
    fields = container_items(content, walk, "mapValue", "fields")
    if fields is None and "fields" not in content:
        return {}
    walk.enter(content)
    out = decode_fields(fields, walk)
    walk.leave()
    return out


DECODERS = {"nullValue": decode_null, "booleanValue": decode_boolean,
            "integerValue": decode_integer, "doubleValue": decode_double,
            "timestampValue": decode_timestamp, "stringValue": decode_string,
            "bytesValue": decode_bytes, "referenceValue": decode_reference,
            "geoPointValue": decode_geopoint, "arrayValue": decode_array, "mapValue": decode_map}


def decode(typed, walk):
    if not isinstance(typed, dict):
        walk.fail(ValueError, f"a typed value must be a dict of one kind, not {type_name(typed)}")
    if len(typed) != 1:
        walk.fail(ValueError, f"a typed value must hold one kind, not {len(typed)} keys")
    ((kind, content),) = typed.items()
    decoder = DECODERS.get(kind) if isinstance(kind, str) and kind.isascii() else None
    if decoder is None:
        walk.fail(ValueError, f"unknown kind of value {kind!r:.80}")
    return decoder(content, walk)


def decode_fields(fields, walk):
    if not isinstance(fields, dict):
        walk.fail(ValueError, f"fields must be a dict, not {type_name(fields)}")
    return convert_fields(fields, walk, ValueError, decode)


def from_value(typed):
    return decode(typed, Walk(ROOT))


def from_fields(fields):
    walk = Walk(None)
    walk.containers.append(fields)
    return decode_fields(fields, walk)


def from_document(document):
    if not isinstance(document, dict):
        raise ValueError(f"from_document() takes a document (a dict), not {type_name(document)}")
    if "fields" not in document:
        return {}
    return from_fields(document["fields"])


def document_id(document):
    if not isinstance(document, dict):
        raise ValueError(f"document_id() takes a document (a dict), not {type_name(document)}")
    name = document.get("name")
    if not isinstance(name, str):
        raise ValueError(f"the document has no name: {document!r:.200}")
    if "/" not in name or name.endswith("/"):
        raise ValueError(f"not a document name: {name!r:.200}")
    return name.rsplit("/", 1)[1]

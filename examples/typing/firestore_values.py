"""The codec tavrin.firestore_values used as its stub types it; checked with
mypy --strict (and never run): it must pass."""

from __future__ import annotations

import datetime as dt
from typing import Any

from tavrin import firebase, firestore_values
from tavrin.firestore_values import GeoPoint, Reference


async def notes(id_token: str) -> None:
    place = GeoPoint(48.2, longitude=16.4)
    owner = Reference("projects/demo/databases/(default)/documents/users/u1")
    latitude: float = place.latitude
    path: str = owner.path
    fields: dict[str, Any] = firestore_values.to_fields({
        "title": "hello", "done": False, "count": 3, "score": 0.5, "none": None,
        "when": dt.datetime.now(dt.UTC), "raw": b"\x00", "where": place, "owner": owner,
        "tags": ["a", 1, {"nested": True}], "pair": (1, 2), "meta": {"k": "v"},
    })
    created = await firebase.create_document("notes", None, fields, id_token)
    note_id: str = firestore_values.document_id(created)
    read = await firebase.get_document(f"notes/{note_id}", id_token)
    values: dict[str, Any] = firestore_values.from_document(read)
    title: object = firestore_values.from_value(read["fields"]["title"])
    again: dict[str, Any] = firestore_values.from_fields(read["fields"])
    typed: dict[str, Any] = firestore_values.to_value([1, 2.5, "x"])
    print(latitude, path, values, title, again, typed, {place, owner})

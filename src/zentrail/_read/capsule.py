"""A capsule of the core's (an Arrow C stream or schema), handed to pyarrow
through the protocol pyarrow reads."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Optional


class Capsule:
    __slots__ = ("_stream", "_schema")

    def __init__(self, stream: object = None, schema: object = None) -> None:
        self._stream = stream
        self._schema = schema

    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object:
        return self._stream

    def __arrow_c_schema__(self) -> object:
        return self._schema

"""GGUF files, read with the `gguf` package's GGUFReader, imported only when one is read."""

from __future__ import annotations

import importlib
import os
from collections.abc import Mapping, Sequence
from typing import Any, Protocol

from marlix.files.figures import (
    FILES_EXTRA,
    Estimate,
    MissingReaderError,
    Request,
    Shape,
    finish,
    is_whole,
    reason,
    shown,
)

# GGUFValueType's numbers, which the format fixes.
_GGUF_STRING = 8
_GGUF_ARRAY = 9


class _GGUFField(Protocol):
    parts: Sequence[Any]  # numpy arrays
    data: Sequence[int]
    types: Sequence[int]


class _GGUFTensor(Protocol):
    name: str
    n_bytes: int
    data_offset: int


class _GGUFReader(Protocol):
    fields: Mapping[str, _GGUFField]
    tensors: Sequence[_GGUFTensor]


def read_gguf(request: Request) -> Estimate:
    try:
        # Imported here: the package is an extra, and a model folder needs none of it.
        module = importlib.import_module("gguf")
    except ImportError as error:
        missing = error.name or "gguf"
        raise MissingReaderError(
            f"{request.path}: reading a GGUF file needs {missing}; install it with: {FILES_EXTRA}",
            missing,
        ) from None
    try:
        reader: _GGUFReader = module.GGUFReader(request.path, "r")
    except OSError as error:
        raise request.fail(error.strerror or str(error)) from None
    except Exception as error:
        # The reader raises whatever its parsing hits on a corrupt or cut-off file (ValueError,
        # KeyError, IndexError, ...); all of them mean the same to the user.
        raise request.fail(f"corrupt or truncated GGUF file: {reason(error)}") from None
    size = os.path.getsize(request.path)
    weights = 0
    for tensor in reader.tensors:
        end = int(tensor.data_offset) + int(tensor.n_bytes)
        if end > size:
            raise request.fail(
                f"truncated: tensor {tensor.name!r} ends at byte {end}, the file has {size}"
            )
        weights += int(tensor.n_bytes)
    meta = _GGUFMetadata(request, reader.fields)
    split = meta.whole_or_none("split.count")
    if split is not None and split > 1:
        raise request.fail(
            f"is one of {split} parts of a split model (split.count), so it holds only part"
            " of the weights; merge the parts first"
        )
    arch = meta.text("general.architecture")
    n_layer = meta.whole(f"{arch}.block_count")
    if n_layer < 1:
        raise request.fail(f"{arch}.block_count is {n_layer}")
    n_embd = meta.whole_or_none(f"{arch}.embedding_length")
    n_head = meta.heads(f"{arch}.attention.head_count", n_layer)
    n_head_kv: int | tuple[int, ...] = n_head
    if f"{arch}.attention.head_count_kv" in reader.fields:
        n_head_kv = meta.heads(f"{arch}.attention.head_count_kv", n_layer)
    if isinstance(n_head_kv, tuple) and len(set(n_head_kv)) == 1:
        n_head_kv = n_head_kv[0]  # an array of one count is that count
    widths = [
        meta.width(f"{arch}.attention.{which}", n_embd, n_head, f"{arch}.embedding_length")
        for which in ("key_length", "value_length")
    ]
    shape = Shape(
        n_layer, n_head_kv, widths[0], widths[1], meta.whole_or_none(f"{arch}.context_length")
    )
    return finish(
        request,
        "gguf",
        arch,
        len(reader.tensors),
        1,
        weights,
        shape,
        f"{arch}.context_length",
    )


class _GGUFMetadata:
    """Typed access to the metadata keys, each failure naming its key."""

    def __init__(self, request: Request, fields: Mapping[str, _GGUFField]) -> None:
        self.request = request
        self.fields = fields

    def value(self, key: str) -> object:
        if key not in self.fields:
            raise self.request.fail(f"metadata key {key} missing")
        field = self.fields[key]
        types = [int(t) for t in field.types]
        try:
            if types and types[0] == _GGUF_ARRAY:
                return [_gguf_scalar(field.parts[i], types[-1]) for i in field.data]
            return _gguf_scalar(field.parts[field.data[0]], types[0] if types else -1)
        except (IndexError, UnicodeDecodeError) as error:
            raise self.request.fail(f"metadata key {key} is unreadable: {reason(error)}") from None

    def text(self, key: str) -> str:
        value = self.value(key)
        if not isinstance(value, str) or not value:
            raise self.request.fail(f"metadata key {key} is not a name: {shown(value)}")
        return value

    def whole(self, key: str) -> int:
        value = self.value(key)
        if not is_whole(value):
            raise self.request.fail(f"metadata key {key} is not a whole number: {shown(value)}")
        assert isinstance(value, int)
        return value

    def whole_or_none(self, key: str) -> int | None:
        return self.whole(key) if key in self.fields else None

    def heads(self, key: str, n_layer: int) -> int | tuple[int, ...]:
        """A head count: one for every layer, or an array of one per layer."""
        value = self.value(key)
        if isinstance(value, list):
            if len(value) != n_layer or not all(is_whole(v) for v in value):
                raise self.request.fail(
                    f"metadata key {key} is not {n_layer} whole numbers, one per layer"
                    " (block_count)"
                )
            return tuple(value)
        return self.whole(key)

    def width(
        self, key: str, n_embd: int | None, n_head: int | tuple[int, ...], embd_key: str
    ) -> int:
        """key_length or value_length: its own key, or else n_embd / n_head."""
        if key in self.fields:
            return self.whole(key)
        counts = {n_head} if isinstance(n_head, int) else set(n_head) - {0}
        if n_embd is None:
            raise self.request.fail(f"metadata keys {key} and {embd_key} missing")
        if len(counts) != 1:
            raise self.request.fail(
                f"metadata key {key} missing, and with head counts that differ by layer"
                f" {embd_key} / head_count is no one width"
            )
        (heads,) = counts
        if heads == 0 or n_embd % heads:
            raise self.request.fail(
                f"metadata key {key} missing, and {embd_key} {n_embd} is not a whole number"
                f" of {heads} heads"
            )
        return n_embd // heads


def _gguf_scalar(part: Any, kind: int) -> object:
    if kind == _GGUF_STRING:
        return bytes(part).decode("utf-8")
    value: object = part.tolist()[0]
    return value

"""A model's weights and KV-cache bytes, read from its files instead of written by hand.

`estimate(path)` reads a GGUF file (through the `gguf` package, the `files` extra) or a Hugging
Face model folder (`config.json` and `*.safetensors`, read from the headers alone) and returns an
`Estimate`: the two byte counts a roster entry needs, and the figures they were worked out from.
`figures` says how the KV cache is counted.
"""

from __future__ import annotations

import os

from marlix.files.figures import (
    GGUF_MAGIC,
    KV_TYPES,
    Estimate,
    EstimateError,
    MissingReaderError,
    Request,
)
from marlix.files.gguf_file import read_gguf
from marlix.files.hf_folder import read_folder

__all__ = ["KV_TYPES", "Estimate", "EstimateError", "MissingReaderError", "estimate"]


def estimate(
    path: str | os.PathLike[str],
    ctx: int | None = None,
    parallel: int = 1,
    kv_type: str = "f16",
) -> Estimate:
    """Read the weights and KV-cache bytes of the GGUF file or model folder at `path`.

    `ctx` defaults to the model's own training context; the cache holds `ctx × parallel` tokens
    of `kv_type` values. Raises EstimateError ("PATH: reason") for anything that cannot be read
    or is missing, and MissingReaderError when `gguf` is needed but not installed.
    """
    name = os.fspath(path)
    if kv_type not in KV_TYPES:
        raise EstimateError(
            f"{name}: unknown KV type {kv_type!r} (expected one of: {', '.join(KV_TYPES)})"
        )
    if ctx is not None and ctx < 1:
        raise EstimateError(f"{name}: ctx must be 1 or more, not {ctx}")
    if parallel < 1:
        raise EstimateError(f"{name}: parallel must be 1 or more, not {parallel}")
    request = Request(name, ctx, parallel, kv_type)
    if os.path.isdir(name):
        return read_folder(request)
    try:
        with open(name, "rb") as file:
            magic = file.read(4)
    except OSError as error:
        raise EstimateError(f"{name}: {error.strerror}") from None
    if magic == GGUF_MAGIC:
        return read_gguf(request)
    if name.endswith(".safetensors"):
        raise EstimateError(
            f"{name}: a safetensors file does not say how the model attends;"
            " give its folder, with its config.json"
        )
    raise EstimateError(
        f"{name}: not a GGUF file (it starts with {magic!r}, not {GGUF_MAGIC!r}) nor a model folder"
    )

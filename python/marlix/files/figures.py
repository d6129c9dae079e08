"""The figures of a model's estimate, how they are put together, and the errors of reading.

Two kinds of input are read:

- a GGUF file, through the `gguf` package (the `files` extra): the weights are the sum of every
  tensor's own data size (the alignment padding between tensors is not counted), and the KV
  cache's shape comes from the architecture's metadata keys (`ARCH.block_count`,
  `ARCH.attention.head_count_kv`, ...);
- a Hugging Face model folder (`config.json` and its `*.safetensors` files, sharded or not): the
  weights from the safetensors headers alone (no tensor is loaded), the KV cache's shape from
  `config.json`.

The KV cache holds, for each of `ctx × parallel` tokens and each layer, one K row of
`n_head_kv × key_length` values and one V row of `n_head_kv × value_length` values. A block type
(`q8_0`, `q4_0`) quantizes each row in blocks of 32 values, so a row width that 32 does not
divide is an error rather than a rounded guess. Every layer is counted at the full context (a
sliding-window layer that holds fewer tokens is not modelled), so the figure is an upper bound
for such models and exact for the others.

Anything missing or malformed raises `EstimateError` with the text "PATH: what is wrong".
"""

from __future__ import annotations

import json
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Literal

from marlix.errors import InputError
from marlix.sizes import MAX_U64

Format = Literal["gguf", "safetensors"]

# Values per block and bytes per block of each KV-cache type.
KV_TYPES: Mapping[str, tuple[int, int]] = {
    "f16": (1, 2),
    "bf16": (1, 2),
    "f32": (1, 4),
    "q8_0": (32, 34),
    "q4_0": (32, 18),
}

FILES_EXTRA = "pip install 'marlix[files]'"
GGUF_MAGIC = b"GGUF"
# The safetensors library refuses larger headers too; a bigger length field is corruption, and
# reading it whole would only waste memory.
MAX_SAFETENSORS_HEADER = 100 * 2**20

# Bits per element of each safetensors dtype (F4 and F6 pack several values to a byte).
SAFETENSORS_DTYPE_BITS: Mapping[str, int] = {
    "BOOL": 8,
    "U8": 8,
    "I8": 8,
    "F8_E4M3": 8,
    "F8_E5M2": 8,
    "F8_E8M0": 8,
    "F4": 4,
    "F6_E2M3": 6,
    "F6_E3M2": 6,
    "U16": 16,
    "I16": 16,
    "F16": 16,
    "BF16": 16,
    "U32": 32,
    "I32": 32,
    "F32": 32,
    "U64": 64,
    "I64": 64,
    "F64": 64,
    "C64": 64,
}


class EstimateError(InputError, ValueError):
    """A model file that cannot be read, or whose figures are not all there: "PATH: reason"."""


class MissingReaderError(EstimateError):
    """The package that reads this kind of file is not installed (`module` names it)."""

    def __init__(self, text: str, module: str) -> None:
        super().__init__(text)
        self.module = module


@dataclass(frozen=True)
class Estimate:
    """What a model needs on a card, with the figures it was worked out from."""

    path: str
    format: Format
    architecture: str  # GGUF's general.architecture, or config.json's model_type ("" if none)
    tensor_count: int
    files: int  # the safetensors shards read (1 for a GGUF file)
    weights_bytes: int
    n_layer: int
    n_head_kv: int | tuple[int, ...]  # one count for every layer, or each layer's own
    key_length: int
    value_length: int
    ctx: int
    ctx_from_model: bool  # ctx is the model's own training context (none was given)
    parallel: int
    kv_type: str
    block_values: int  # values per quantization block of kv_type (1 for a float type)
    block_bytes: int  # bytes per block
    kv_bytes: int

    @property
    def bytes_per_element(self) -> float:
        return self.block_bytes / self.block_values

    @property
    def layer_heads(self) -> tuple[int, ...]:
        """The KV head count of each layer."""
        if isinstance(self.n_head_kv, int):
            return (self.n_head_kv,) * self.n_layer
        return self.n_head_kv

    @property
    def values_per_token(self) -> int:
        """K and V values a token holds over all layers."""
        return sum(self.layer_heads) * (self.key_length + self.value_length)

    def explain(self) -> str:
        """The arithmetic behind both figures, in a few lines of text."""
        kind = "GGUF" if self.format == "gguf" else f"safetensors, {self.files} file(s)"
        arch = f", {self.architecture}" if self.architecture else ""
        ctx_note = " (the model's training context)" if self.ctx_from_model else ""
        if isinstance(self.n_head_kv, int):
            heads = f"{self.n_layer} layers × {self.n_head_kv} kv heads"
        else:
            heads = f"{sum(self.n_head_kv)} kv heads over {self.n_layer} layers"
        if self.block_values == 1:
            element = f"{self.block_bytes} bytes ({self.kv_type})"
        else:
            element = (
                f"{self.block_bytes}/{self.block_values} bytes"
                f" ({self.kv_type}, blocks of {self.block_values})"
            )
        return "\n".join(
            [
                f"{self.path} ({kind}{arch})",
                f"  weights  {self.tensor_count} tensors = {self.weights_bytes} bytes"
                f" ({gib(self.weights_bytes)} GiB)",
                f"  kv       {self.ctx} ctx{ctx_note} × {self.parallel} parallel"
                f" × {heads} × ({self.key_length} key + {self.value_length} value)"
                f" = {self.ctx * self.parallel * self.values_per_token} values"
                f" × {element} = {self.kv_bytes} bytes ({gib(self.kv_bytes)} GiB)",
            ]
        )


@dataclass(frozen=True)
class Request:
    path: str
    ctx: int | None
    parallel: int
    kv_type: str

    def fail(self, text: str) -> EstimateError:
        return EstimateError(f"{self.path}: {text}")


@dataclass(frozen=True)
class Shape:
    """The KV cache's shape, as the model's metadata gives it."""

    n_layer: int
    n_head_kv: int | tuple[int, ...]
    key_length: int
    value_length: int
    train_ctx: int | None


def finish(
    request: Request,
    fmt: Format,
    architecture: str,
    tensor_count: int,
    files: int,
    weights: int,
    shape: Shape,
    ctx_key: str,
) -> Estimate:
    if tensor_count == 0:
        raise request.fail("holds no tensors, so no weights")
    ctx = request.ctx if request.ctx is not None else shape.train_ctx
    if ctx is None:
        raise request.fail(f"{ctx_key} missing, so the context is not known; give it (--ctx)")
    if ctx < 1:
        raise request.fail(f"{ctx_key} is {ctx}; give the context (--ctx)")
    block_values, block_bytes = KV_TYPES[request.kv_type]
    heads = (
        (shape.n_head_kv,) * shape.n_layer if isinstance(shape.n_head_kv, int) else shape.n_head_kv
    )
    per_token = 0
    for layer_heads in heads:
        for width in (layer_heads * shape.key_length, layer_heads * shape.value_length):
            if width % block_values:
                raise request.fail(
                    f"--kv-type {request.kv_type} needs head widths divisible by"
                    f" {block_values}, and a row here is {width} values wide"
                )
            per_token += width // block_values * block_bytes
    kv = ctx * request.parallel * per_token
    for what, count in (("weights", weights), ("KV cache", kv)):
        if count > MAX_U64:
            raise request.fail(f"the {what} come to {count} bytes, more than {MAX_U64}")
    return Estimate(
        path=request.path,
        format=fmt,
        architecture=architecture,
        tensor_count=tensor_count,
        files=files,
        weights_bytes=weights,
        n_layer=shape.n_layer,
        n_head_kv=shape.n_head_kv,
        key_length=shape.key_length,
        value_length=shape.value_length,
        ctx=ctx,
        ctx_from_model=request.ctx is None,
        parallel=request.parallel,
        kv_type=request.kv_type,
        block_values=block_values,
        block_bytes=block_bytes,
        kv_bytes=kv,
    )


def json_file(request: Request, path: str, shown: str) -> object:
    try:
        with open(path, "rb") as file:
            return json.loads(file.read().decode("utf-8"))
    except OSError as error:
        raise request.fail(f"{shown}: {error.strerror}") from None
    except (UnicodeDecodeError, ValueError) as error:
        raise request.fail(f"{shown}: not JSON ({reason(error)})") from None


def is_whole(value: object) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and value >= 0


def shown(value: object) -> str:
    text = json.dumps(value, ensure_ascii=False, default=repr)
    return text if len(text) <= 60 else text[:57] + "..."


def reason(error: BaseException) -> str:
    # One line, whatever the library put in its message.
    text = " ".join(str(error).split())
    return text or type(error).__name__


def gib(count: int) -> str:
    return f"{count / 2**30:.1f}"

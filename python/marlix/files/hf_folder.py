"""Hugging Face model folders: the weights from the safetensors headers, the KV cache's shape
from config.json."""

from __future__ import annotations

import json
import os
import struct
from collections.abc import Mapping
from typing import Any

from marlix.files.figures import (
    MAX_SAFETENSORS_HEADER,
    SAFETENSORS_DTYPE_BITS,
    Estimate,
    EstimateError,
    Request,
    Shape,
    finish,
    is_whole,
    json_file,
    reason,
    shown,
)

SAFETENSORS_INDEX = "model.safetensors.index.json"


def read_folder(request: Request) -> Estimate:
    config_path = os.path.join(request.path, "config.json")
    if not os.path.isfile(config_path):
        raise request.fail("not a model folder: it has no config.json (nor is it a GGUF file)")
    config = json_file(request, config_path, "config.json")
    if not isinstance(config, dict):
        raise request.fail("config.json is not a JSON object")
    shards = _shards(request)
    weights = 0
    tensor_count = 0
    first_seen: dict[str, str] = {}
    for shard in shards:
        for tensor, size in _safetensors_sizes(request, shard).items():
            if tensor in first_seen:
                raise request.fail(f"tensor {tensor!r} is in both {first_seen[tensor]} and {shard}")
            first_seen[tensor] = shard
            weights += size
            tensor_count += 1
    attention = _HFConfig(request, config)
    model_type = config.get("model_type")
    return finish(
        request,
        "safetensors",
        model_type if isinstance(model_type, str) else "",
        tensor_count,
        len(shards),
        weights,
        attention.shape(),
        f"config.json: {attention.prefix}max_position_embeddings",
    )


def _shards(request: Request) -> list[str]:
    """The folder's safetensors files: those its index names, or else every one there."""
    folder = request.path
    index_path = os.path.join(folder, SAFETENSORS_INDEX)
    if os.path.isfile(index_path):
        index = json_file(request, index_path, SAFETENSORS_INDEX)
        weight_map = index.get("weight_map") if isinstance(index, dict) else None
        if not isinstance(weight_map, dict) or not all(
            isinstance(v, str) for v in weight_map.values()
        ):
            raise request.fail(f"{SAFETENSORS_INDEX} has no weight_map of tensor to file names")
        names = sorted(set(weight_map.values()))
        for name in names:
            if os.path.basename(name) != name or not os.path.isfile(os.path.join(folder, name)):
                raise request.fail(f"{name}, named in {SAFETENSORS_INDEX}, is not in the folder")
    else:
        try:
            names = sorted(n for n in os.listdir(folder) if n.endswith(".safetensors"))
        except OSError as error:
            raise request.fail(error.strerror or str(error)) from None
    if not names:
        raise request.fail("has config.json but no *.safetensors files")
    return names


def _safetensors_sizes(request: Request, shard: str) -> dict[str, int]:
    """Each tensor's byte count, from the header alone: an 8-byte little-endian length, then
    that many bytes of JSON giving each tensor's dtype, shape and data offsets."""
    path = os.path.join(request.path, shard)

    def fail(text: str) -> EstimateError:
        return request.fail(f"{shard}: {text}")

    try:
        with open(path, "rb") as file:
            file_size = os.fstat(file.fileno()).st_size
            head = file.read(8)
            if len(head) < 8:
                raise fail(f"truncated: {len(head)} bytes, too few for a safetensors header")
            (header_size,) = struct.unpack("<Q", head)
            if header_size > MAX_SAFETENSORS_HEADER:
                raise fail(f"corrupt: a header of {header_size} bytes is claimed")
            if 8 + header_size > file_size:
                raise fail(
                    f"truncated: the header is {header_size} bytes, the file has"
                    f" {file_size - 8} after its length"
                )
            raw = file.read(header_size)
    except OSError as error:
        raise fail(error.strerror or str(error)) from None
    try:
        header = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as error:
        raise fail(f"corrupt header: not JSON ({reason(error)})") from None
    if not isinstance(header, dict):
        raise fail("corrupt header: not a JSON object")
    data_size = file_size - 8 - header_size
    sizes: dict[str, int] = {}
    for tensor, info in header.items():
        if tensor == "__metadata__":
            continue
        size = _tensor_bytes(info)
        if isinstance(size, str):
            raise fail(f"tensor {tensor!r}: {size}")
        start, end = info["data_offsets"]
        if end > data_size:
            raise fail(
                f"truncated: tensor {tensor!r} ends at byte {end} of the data,"
                f" the file holds {data_size}"
            )
        sizes[tensor] = end - start
    return sizes


def _tensor_bytes(info: object) -> int | str:
    """A tensor's byte count (data_offsets end − start, checked against dtype × shape), or what
    is wrong with its entry."""
    if not isinstance(info, dict):
        return "not a JSON object"
    dtype, shape, offsets = info.get("dtype"), info.get("shape"), info.get("data_offsets")
    if not isinstance(dtype, str) or dtype not in SAFETENSORS_DTYPE_BITS:
        return f"unknown dtype {shown(dtype)}"
    if not isinstance(shape, list) or not all(is_whole(d) for d in shape):
        return f"shape {shown(shape)} is not a list of whole numbers"
    if (
        not isinstance(offsets, list)
        or len(offsets) != 2
        or not all(is_whole(o) for o in offsets)
        or offsets[0] > offsets[1]
    ):
        return f"data_offsets {shown(offsets)} are not a start and an end"
    elements = 1
    for dim in shape:
        elements *= dim
    bits = elements * SAFETENSORS_DTYPE_BITS[dtype]
    if bits % 8:
        return f"{elements} values of {dtype} are not a whole number of bytes"
    span: int = offsets[1] - offsets[0]
    if span != bits // 8:
        return f"data_offsets span {span} bytes, but {dtype} × {shape} is {bits // 8} bytes"
    return span


class _HFConfig:
    """config.json's attention keys; a multimodal model keeps its language model's under
    text_config."""

    def __init__(self, request: Request, config: Mapping[str, Any]) -> None:
        self.request = request
        text_config = config.get("text_config")
        if "num_hidden_layers" not in config and isinstance(text_config, dict):
            self.config: Mapping[str, Any] = text_config
            self.prefix = "text_config."
        else:
            self.config = config
            self.prefix = ""

    def get(self, key: str) -> int | None:
        value = self.config.get(key)  # null is as good as missing
        if value is None:
            return None
        if not is_whole(value):
            raise self.request.fail(
                f"config.json: {self.prefix}{key} is not a whole number: {shown(value)}"
            )
        assert isinstance(value, int)
        return value

    def need(self, key: str) -> int:
        value = self.get(key)
        if value is None:
            raise self.request.fail(f"config.json: {self.prefix}{key} missing")
        return value

    def shape(self) -> Shape:
        n_layer = self.need("num_hidden_layers")
        if n_layer < 1:
            raise self.request.fail(f"config.json: {self.prefix}num_hidden_layers is {n_layer}")
        n_head = self.need("num_attention_heads")
        n_head_kv = self.get("num_key_value_heads")
        head_dim = self.get("head_dim")
        if head_dim is None:
            hidden = self.get("hidden_size")
            if hidden is None:
                raise self.request.fail(
                    f"config.json: {self.prefix}head_dim and {self.prefix}hidden_size missing"
                )
            if n_head == 0 or hidden % n_head:
                raise self.request.fail(
                    f"config.json: {self.prefix}head_dim missing, and hidden_size {hidden} is"
                    f" not a whole number of {n_head} heads"
                )
            head_dim = hidden // n_head
        return Shape(
            n_layer,
            n_head if n_head_kv is None else n_head_kv,
            head_dim,
            head_dim,
            self.get("max_position_embeddings"),
        )

"""Weights and KV-cache bytes read from model files: small GGUF files and Hugging Face folders
written here with the formats' own libraries, each figure checked against the arithmetic done
by hand."""

from __future__ import annotations

import json
import os
import struct
import subprocess
import sys
import textwrap

import pytest

np = pytest.importorskip("numpy")
gguf = pytest.importorskip("gguf")
safetensors_numpy = pytest.importorskip("safetensors.numpy")

import marlix  # noqa: E402
from marlix import Estimate, EstimateError, estimate  # noqa: E402

Q8_0 = gguf.GGMLQuantizationType.Q8_0


def write_gguf(path, arch, meta, tensors=None, context_length=2048):
    """A GGUF file of architecture `arch` with the metadata `meta` ({key suffix: value}, the
    suffix written after "ARCH."), and tensors {name: array}; a tuple (rows, cols) stands for a
    q8_0 tensor of that shape."""
    writer = gguf.GGUFWriter(str(path), arch)
    if context_length is not None:
        writer.add_uint32(f"{arch}.context_length", context_length)
    for key, value in meta.items():
        if isinstance(value, list):
            writer.add_array(f"{arch}.{key}", value)
        else:
            writer.add_uint32(f"{arch}.{key}", value)
    for name, tensor in (tensors if tensors is not None else DEFAULT_TENSORS).items():
        if isinstance(tensor, tuple):
            rows, cols = tensor
            data = np.zeros((rows, cols // 32 * 34), np.uint8)
            writer.add_tensor(name, data, raw_dtype=Q8_0)
        else:
            writer.add_tensor(name, tensor)
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()
    return path


# Sizes that no alignment divides, so that counting the padding between tensors would show.
DEFAULT_TENSORS = {
    "token_embd.weight": np.zeros((3, 5), np.float32),  # 60 bytes
    "blk.0.attn_q.weight": np.zeros((7, 9), np.float16),  # 126 bytes
    "blk.0.ffn_up.weight": (2, 64),  # q8_0: 2 rows × 2 blocks × 34 bytes = 136 bytes
}
DEFAULT_WEIGHTS = 60 + 126 + 136

LLAMA_GQA = {  # 8 query heads sharing 2 KV heads; key and value lengths 256 / 8 = 32
    "block_count": 4,
    "embedding_length": 256,
    "attention.head_count": 8,
    "attention.head_count_kv": 2,
}
PER_LAYER = {  # each layer its own head counts; widths given
    "block_count": 4,
    "embedding_length": 512,
    "attention.head_count": [4, 4, 8, 8],
    "attention.head_count_kv": [1, 2, 2, 4],
    "attention.key_length": 64,
    "attention.value_length": 64,
}
HYBRID = {  # attention in layers 1 and 3 only; widths from 512 / 8 = 64
    "block_count": 4,
    "embedding_length": 512,
    "attention.head_count": [0, 8, 0, 8],
    "attention.head_count_kv": [0, 2, 0, 2],
}
KEY_VALUE = {  # keys wider than values; no head_count_kv, so every head has its own K and V
    "block_count": 3,
    "embedding_length": 1024,
    "attention.head_count": 4,
    "attention.key_length": 192,
    "attention.value_length": 128,
}


@pytest.mark.parametrize(
    "arch, meta, n_head_kv, key_length, value_length, values_per_token",
    [
        ("llama", LLAMA_GQA, 2, 32, 32, 4 * (2 * 32 + 2 * 32)),
        ("openelm", PER_LAYER, (1, 2, 2, 4), 64, 64, (1 + 2 + 2 + 4) * (64 + 64)),
        ("jamba", HYBRID, (0, 2, 0, 2), 64, 64, (2 + 2) * (64 + 64)),
        ("deepseek2", KEY_VALUE, 4, 192, 128, 3 * (4 * 192 + 4 * 128)),
    ],
)
def test_gguf_figures_from_each_architectures_keys(
    tmp_path, arch, meta, n_head_kv, key_length, value_length, values_per_token
):
    path = write_gguf(tmp_path / f"{arch}.gguf", arch, meta)
    found = estimate(path)
    assert found.weights_bytes == DEFAULT_WEIGHTS
    assert found.weights_bytes < os.path.getsize(path)
    assert found.kv_bytes == 2048 * values_per_token * 2  # the model's context, f16
    assert (found.format, found.architecture, found.tensor_count, found.files) == (
        "gguf",
        arch,
        3,
        1,
    )
    assert (found.n_layer, found.n_head_kv) == (meta["block_count"], n_head_kv)
    assert (found.key_length, found.value_length) == (key_length, value_length)
    assert (found.ctx, found.ctx_from_model, found.parallel) == (2048, True, 1)
    assert found.values_per_token == values_per_token


@pytest.mark.parametrize(
    "kv_type, row_bytes",
    [
        # A K row and a V row of 2 heads × 32 = 64 values each, in every one of 4 layers.
        ("f16", 64 * 2),
        ("bf16", 64 * 2),
        ("f32", 64 * 4),
        ("q8_0", 64 // 32 * 34),
        ("q4_0", 64 // 32 * 18),
    ],
)
@pytest.mark.parametrize("ctx, parallel", [(None, 1), (100, 1), (512, 3)])
def test_kv_bytes_by_type_context_and_parallel(tmp_path, kv_type, row_bytes, ctx, parallel):
    path = write_gguf(tmp_path / "m.gguf", "llama", LLAMA_GQA)
    found = estimate(path, ctx=ctx, parallel=parallel, kv_type=kv_type)
    tokens = (2048 if ctx is None else ctx) * parallel
    assert found.kv_bytes == tokens * 4 * 2 * row_bytes
    assert found.bytes_per_element == {"f16": 2, "bf16": 2, "f32": 4, "q8_0": 34 / 32}.get(
        kv_type, 18 / 32
    )
    assert (found.ctx_from_model, found.kv_type) == (ctx is None, kv_type)


@pytest.mark.parametrize("kv_type", ["q8_0", "q4_0"])
def test_a_block_type_needs_rows_that_blocks_divide(tmp_path, kv_type):
    meta = {**KEY_VALUE, "attention.head_count": 1, "attention.value_length": 48}
    path = write_gguf(tmp_path / "m.gguf", "phi3", meta)
    assert estimate(path).kv_bytes == 2048 * 3 * (192 + 48) * 2  # a float type takes any width
    with pytest.raises(EstimateError, match=f"--kv-type {kv_type} needs head widths divisible"):
        estimate(path, kv_type=kv_type)


@pytest.mark.parametrize(
    "meta, context_length, expected",
    [
        ({k: v for k, v in LLAMA_GQA.items() if k != "block_count"}, 2048, "llama.block_count"),
        (
            {k: v for k, v in LLAMA_GQA.items() if k != "attention.head_count"},
            2048,
            "metadata key llama.attention.head_count missing",
        ),
        (
            {k: v for k, v in LLAMA_GQA.items() if k != "embedding_length"},
            2048,
            "llama.attention.key_length and llama.embedding_length missing",
        ),
        (LLAMA_GQA, None, "llama.context_length missing, so the context is not known"),
        (
            {**LLAMA_GQA, "attention.head_count_kv": [2, 2]},
            2048,
            "llama.attention.head_count_kv is not 4 whole numbers, one per layer",
        ),
        (
            {**LLAMA_GQA, "embedding_length": 250},
            2048,
            "embedding_length 250 is not a whole number of 8 heads",
        ),
        (
            {**PER_LAYER, "attention.key_length": None},
            2048,
            "with head counts that differ by layer",
        ),
        ({**LLAMA_GQA, "block_count": 0}, 2048, "llama.block_count is 0"),
    ],
)
def test_gguf_metadata_missing_a_needed_key_is_named(tmp_path, meta, context_length, expected):
    meta = {k: v for k, v in meta.items() if v is not None}
    path = write_gguf(tmp_path / "m.gguf", "llama", meta, context_length=context_length)
    with pytest.raises(EstimateError) as raised:
        estimate(path)
    assert str(raised.value).startswith(f"{path}: ")
    assert expected in str(raised.value)


def test_a_missing_context_is_not_needed_when_one_is_given(tmp_path):
    path = write_gguf(tmp_path / "m.gguf", "llama", LLAMA_GQA, context_length=None)
    assert estimate(path, ctx=10).kv_bytes == 10 * 4 * 128 * 2


def test_a_text_where_a_count_belongs_is_named(tmp_path):
    writer = gguf.GGUFWriter(str(tmp_path / "m.gguf"), "llama")
    writer.add_string("llama.block_count", "four")
    writer.add_tensor("t", np.zeros(4, np.float32))
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()
    with pytest.raises(EstimateError, match='llama.block_count is not a whole number: "four"'):
        estimate(tmp_path / "m.gguf")


def test_one_part_of_a_split_gguf_is_refused(tmp_path):
    writer = gguf.GGUFWriter(str(tmp_path / "m-00001-of-00002.gguf"), "llama")
    writer.add_uint16("split.count", 2)
    writer.add_tensor("t", np.zeros(4, np.float32))
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()
    with pytest.raises(EstimateError, match="one of 2 parts of a split model"):
        estimate(tmp_path / "m-00001-of-00002.gguf")


# --- Hugging Face folders -------------------------------------------------------------------

LLAMA_CONFIG = {
    "model_type": "llama",
    "num_hidden_layers": 6,
    "num_attention_heads": 8,
    "num_key_value_heads": 2,
    "hidden_size": 512,  # head_dim 64
    "max_position_embeddings": 4096,
}


def write_folder(folder, config, shards):
    """config.json and one safetensors file per {file name: {tensor: array}}."""
    folder.mkdir(exist_ok=True)
    (folder / "config.json").write_text(json.dumps(config))
    for name, tensors in shards.items():
        safetensors_numpy.save_file(tensors, str(folder / name))
    return folder


ONE_SHARD = {
    "model.safetensors": {
        "embed": np.zeros((10, 7), np.float16),  # 140 bytes
        "norm": np.zeros(9, np.float32),  # 36 bytes
        "ids": np.zeros(5, np.int64),  # 40 bytes
    }
}


@pytest.mark.parametrize(
    "config, kv_per_token",
    [
        (LLAMA_CONFIG, 6 * (2 * 64 + 2 * 64)),
        # No num_key_value_heads: every attention head has its own K and V.
        ({**LLAMA_CONFIG, "num_key_value_heads": None}, 6 * (8 * 64 + 8 * 64)),
        # head_dim given, unlike hidden_size / heads.
        ({**LLAMA_CONFIG, "head_dim": 128}, 6 * (2 * 128 + 2 * 128)),
        # A multimodal model's language model, under text_config.
        ({"model_type": "llava", "text_config": LLAMA_CONFIG}, 6 * (2 * 64 + 2 * 64)),
    ],
)
def test_folder_figures_from_config_and_headers(tmp_path, config, kv_per_token):
    folder = write_folder(tmp_path / "chat-8b", config, ONE_SHARD)
    found = estimate(folder)
    assert found.weights_bytes == 140 + 36 + 40
    assert found.kv_bytes == 4096 * kv_per_token * 2
    assert (found.format, found.tensor_count, found.files, found.ctx) == (
        "safetensors",
        3,
        1,
        4096,
    )
    assert estimate(folder, ctx=8, parallel=2, kv_type="f32").kv_bytes == 16 * kv_per_token * 4


SHARDS = {
    "model-00001-of-00002.safetensors": {"a": np.zeros((4, 4), np.float32)},  # 64 bytes
    "model-00002-of-00002.safetensors": {
        "b": np.zeros(3, np.float16),  # 6 bytes
        "c": np.zeros((2, 3), np.uint8),  # 6 bytes
    },
}


@pytest.mark.parametrize("with_index", [False, True])
def test_a_sharded_folder_sums_its_shards(tmp_path, with_index):
    folder = write_folder(tmp_path / "m", LLAMA_CONFIG, SHARDS)
    if with_index:
        weight_map = {t: name for name, tensors in SHARDS.items() for t in tensors}
        (folder / "model.safetensors.index.json").write_text(
            json.dumps({"metadata": {}, "weight_map": weight_map})
        )
        # A consolidated copy that the index does not name is not counted.
        safetensors_numpy.save_file(
            {"all": np.zeros(100, np.float32)}, str(folder / "x.safetensors")
        )
    found = estimate(folder)
    assert (found.weights_bytes, found.tensor_count, found.files) == (64 + 6 + 6, 3, 2)


def safetensors_bytes(header, data=b""):
    text = json.dumps(header).encode()
    return struct.pack("<Q", len(text)) + text + data


@pytest.mark.parametrize(
    "content, expected",
    [
        (b"\x10\x00", "truncated: 2 bytes, too few for a safetensors header"),
        (struct.pack("<Q", 500) + b"{}", "truncated: the header is 500 bytes"),
        (struct.pack("<Q", 2**40), "corrupt: a header of 1099511627776 bytes"),
        (struct.pack("<Q", 4) + b"{no}", "corrupt header: not JSON"),
        (safetensors_bytes([1]), "corrupt header: not a JSON object"),
        (
            safetensors_bytes({"t": {"dtype": "F32", "shape": [4], "data_offsets": [0, 16]}}, b"x"),
            "truncated: tensor 't' ends at byte 16 of the data, the file holds 1",
        ),
        (
            safetensors_bytes(
                {"t": {"dtype": "F32", "shape": [4], "data_offsets": [0, 8]}}, b"x" * 8
            ),
            "tensor 't': data_offsets span 8 bytes, but F32 × [4] is 16 bytes",
        ),
        (
            safetensors_bytes({"t": {"dtype": "Q9", "shape": [1], "data_offsets": [0, 1]}}, b"x"),
            "tensor 't': unknown dtype \"Q9\"",
        ),
        (
            safetensors_bytes({"t": {"dtype": "F16", "shape": [1], "data_offsets": [2, 0]}}, b"xx"),
            "are not a start and an end",
        ),
        (safetensors_bytes({"__metadata__": {}}), "holds no tensors"),
    ],
)
def test_a_bad_safetensors_file_is_named(tmp_path, content, expected):
    folder = write_folder(tmp_path / "m", LLAMA_CONFIG, {})
    (folder / "model.safetensors").write_bytes(content)
    with pytest.raises(EstimateError) as raised:
        estimate(folder)
    prefix = f"{folder}: " if expected == "holds no tensors" else f"{folder}: model.safetensors: "
    assert str(raised.value).startswith(prefix)
    assert expected in str(raised.value)


@pytest.mark.parametrize(
    "change, expected",
    [
        ({"num_hidden_layers": None}, "config.json: num_hidden_layers missing"),
        ({"num_attention_heads": None}, "config.json: num_attention_heads missing"),
        ({"hidden_size": None}, "config.json: head_dim and hidden_size missing"),
        ({"hidden_size": 500}, "hidden_size 500 is not a whole number of 8 heads"),
        ({"num_hidden_layers": "6"}, 'config.json: num_hidden_layers is not a whole number: "6"'),
        ({"max_position_embeddings": None}, "config.json: max_position_embeddings missing"),
    ],
)
def test_config_missing_a_needed_key_is_named(tmp_path, change, expected):
    config = {k: v for k, v in {**LLAMA_CONFIG, **change}.items() if v is not None}
    folder = write_folder(tmp_path / "m", config, ONE_SHARD)
    with pytest.raises(EstimateError, match="^" + str(folder) + ": .*" + expected):
        estimate(folder)


def test_folder_problems_are_named(tmp_path):
    folder = write_folder(tmp_path / "m", LLAMA_CONFIG, SHARDS)
    (folder / "extra.safetensors").write_bytes((folder / SHARDS_FIRST).read_bytes())
    with pytest.raises(EstimateError, match="tensor 'a' is in both extra.safetensors and model-"):
        estimate(folder)
    (folder / "model.safetensors.index.json").write_text(
        json.dumps({"weight_map": {"a": "model-00003-of-00003.safetensors"}})
    )
    with pytest.raises(EstimateError, match="model-00003-of-00003.safetensors, named in model"):
        estimate(folder)
    (folder / "model.safetensors.index.json").write_text("{")
    with pytest.raises(EstimateError, match="model.safetensors.index.json: not JSON"):
        estimate(folder)
    empty = write_folder(tmp_path / "empty", LLAMA_CONFIG, {})
    with pytest.raises(EstimateError, match="has config.json but no \\*.safetensors files"):
        estimate(empty)
    (empty / "config.json").write_text("[]")
    with pytest.raises(EstimateError, match="config.json is not a JSON object"):
        estimate(empty)
    with pytest.raises(EstimateError, match="not a model folder: it has no config.json"):
        estimate(tmp_path)
    with pytest.raises(EstimateError, match="a safetensors file does not say how the model"):
        estimate(folder / SHARDS_FIRST)


SHARDS_FIRST = "model-00001-of-00002.safetensors"


def test_arguments_are_checked(tmp_path):
    path = write_gguf(tmp_path / "m.gguf", "llama", LLAMA_GQA)
    for kwargs, expected in [
        ({"kv_type": "q5_1"}, "unknown KV type 'q5_1'"),
        ({"ctx": 0}, "ctx must be 1 or more"),
        ({"parallel": 0}, "parallel must be 1 or more"),
    ]:
        with pytest.raises(EstimateError, match=expected):
            estimate(path, **kwargs)
    with pytest.raises(EstimateError, match="the KV cache come to .* bytes, more than"):
        estimate(path, ctx=2**62)


def test_the_errors_are_value_errors_and_the_api_is_exported():
    assert issubclass(EstimateError, ValueError)
    assert {"estimate", "Estimate", "EstimateError"} <= set(marlix.__all__)
    assert Estimate.__dataclass_params__.frozen


# --- marlix roster --------------------------------------------------------------------------


def marlix_cli(*args, stdin="", env=None):
    return subprocess.run(
        [sys.executable, "-m", "marlix", *map(str, args)],
        input=stdin,
        capture_output=True,
        encoding="utf-8",
        env=env,
        timeout=120,
    )


def test_roster_prints_a_roster_that_plan_reads(tmp_path):
    chat = write_gguf(tmp_path / "chat-8b.gguf", "llama", LLAMA_GQA)
    coder = write_folder(tmp_path / "coder-7b", LLAMA_CONFIG, ONE_SHARD)
    result = marlix_cli("roster", chat, coder, "--ctx", "1024", "--parallel", "2")
    assert (result.returncode, result.stderr) == (0, "")
    roster = json.loads(result.stdout)
    assert roster == [
        {"model": "chat-8b", "weightsBytes": DEFAULT_WEIGHTS, "kvBytes": 2048 * 4 * 128 * 2},
        {"model": "coder-7b", "weightsBytes": 216, "kvBytes": 2048 * 6 * 256 * 2},
    ]
    planned = marlix_cli("plan", "-", "--card", "24GiB", "--json", stdin=result.stdout)
    assert planned.returncode == 0, planned.stderr
    document = json.loads(planned.stdout)
    assert document["admitted"] == ["chat-8b", "coder-7b"]
    assert document["committed_bytes"] == sum(e["weightsBytes"] + e["kvBytes"] for e in roster)


def test_roster_explain_writes_the_arithmetic_to_stderr(tmp_path):
    path = write_gguf(tmp_path / "m.gguf", "openelm", PER_LAYER)
    plain = marlix_cli("roster", path, "--kv-type", "q8_0", "--name", "elm")
    result = marlix_cli("roster", path, "--kv-type", "q8_0", "--name", "elm", "--explain")
    assert result.returncode == 0 and result.stdout == plain.stdout
    kv = 2048 * (1 + 2 + 2 + 4) * (64 + 64) // 32 * 34
    assert json.loads(result.stdout) == [
        {"model": "elm", "weightsBytes": DEFAULT_WEIGHTS, "kvBytes": kv}
    ]
    assert result.stderr == textwrap.dedent(f"""\
        elm: {path} (GGUF, openelm)
          weights  3 tensors = {DEFAULT_WEIGHTS} bytes (0.0 GiB)
          kv       2048 ctx (the model's training context) × 1 parallel × 9 kv heads over 4 layers × (64 key + 64 value) = {2048 * 9 * 128} values × 34/32 bytes (q8_0, blocks of 32) = {kv} bytes (0.0 GiB)
        """)  # noqa: E501


def one_error_line(result):
    assert result.returncode == 2 and result.stdout == ""
    assert "Traceback" not in result.stderr
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("marlix: "), result.stderr
    return lines[0]


@pytest.mark.parametrize("keep", [3, 6, 30, 120, "header", "data"])
def test_a_truncated_or_corrupt_gguf_stops_with_one_line(tmp_path, keep):
    whole = write_gguf(tmp_path / "whole.gguf", "llama", LLAMA_GQA).read_bytes()
    if keep == "header":  # the tensor table cut off
        content = whole[: len(whole) - DEFAULT_WEIGHTS - 200]
    elif keep == "data":  # the last tensor's data cut off
        content = whole[: len(whole) - 80]
    else:
        content = whole[:keep]
    path = tmp_path / "cut.gguf"
    path.write_bytes(content)
    line = one_error_line(marlix_cli("roster", path))
    expected = "not a GGUF file" if keep == 3 else "corrupt or truncated GGUF file"
    assert line.startswith(f"marlix: {path}: {expected}"), line


def test_a_gguf_with_garbage_for_its_metadata_stops_with_one_line(tmp_path):
    whole = bytearray(write_gguf(tmp_path / "m.gguf", "llama", LLAMA_GQA).read_bytes())
    whole[8:24] = b"\xff" * 16  # the tensor and key counts
    (tmp_path / "m.gguf").write_bytes(bytes(whole))
    line = one_error_line(marlix_cli("roster", tmp_path / "m.gguf"))
    assert line.startswith(f"marlix: {tmp_path / 'm.gguf'}: corrupt or truncated GGUF file")


def test_roster_reports_every_bad_input_on_one_line(tmp_path):
    good = write_gguf(tmp_path / "good.gguf", "llama", LLAMA_GQA)
    folder = write_folder(tmp_path / "m", LLAMA_CONFIG, {})
    (folder / "model.safetensors").write_bytes(struct.pack("<Q", 99) + b"{")
    (tmp_path / "notes.txt").write_text("hello")
    line = one_error_line(
        marlix_cli("roster", good, folder, tmp_path / "notes.txt", tmp_path / "gone.gguf")
    )
    assert line == (
        f"marlix: {folder}: model.safetensors: truncated: the header is 99 bytes, the file has 1"
        f" after its length; {tmp_path / 'notes.txt'}: not a GGUF file (it starts with b'hell',"
        f" not b'GGUF') nor a model folder; {tmp_path / 'gone.gguf'}: No such file or directory"
    )


@pytest.mark.parametrize(
    "args, expected",
    [
        (["a.gguf", "b.gguf", "--name", "x"], "marlix: roster: --name names one model, and 2"),
        (["a.gguf", "--name", ""], "marlix: roster: --name is empty"),
        (["a.gguf", "--ctx", "0"], "marlix: argument --ctx: expected a whole number from 1 up"),
        (["a.gguf", "--parallel", "two"], "marlix: argument --parallel: expected a whole"),
        (["a.gguf", "--kv-type", "q5_1"], "marlix: argument --kv-type: invalid choice"),
        (["a.gguf", "sub/a.gguf"], "sub/a.gguf: named 'a', as a.gguf is (give --name)"),
        (
            ["a.gguf", "--kv-type", "q4_0", "--ctx", "7"],
            "--kv-type q4_0 needs head widths divisible by 32, and a row here is 40 values wide",
        ),
    ],
)
def test_roster_bad_arguments_exit_2(tmp_path, args, expected):
    meta = {**LLAMA_GQA, "attention.key_length": 20, "attention.value_length": 20}
    write_gguf(tmp_path / "a.gguf", "llama", meta)
    write_gguf(tmp_path / "b.gguf", "llama", LLAMA_GQA)
    (tmp_path / "sub").mkdir()
    write_gguf(tmp_path / "sub" / "a.gguf", "llama", LLAMA_GQA)
    result = subprocess.run(
        [sys.executable, "-m", "marlix", "roster", *args],
        capture_output=True,
        encoding="utf-8",
        cwd=tmp_path,
        timeout=120,
    )
    assert result.returncode == 2 and result.stdout == ""
    assert "Traceback" not in result.stderr
    assert expected in result.stderr.splitlines()[-1], result.stderr


def test_roster_without_gguf_says_how_to_install_it(tmp_path):
    shadow = tmp_path / "shadow" / "gguf"
    shadow.mkdir(parents=True)
    (shadow / "__init__.py").write_text(
        "raise ModuleNotFoundError(\"No module named 'gguf'\", name='gguf')\n"
    )
    env = {**os.environ, "PYTHONPATH": f"{shadow.parent}:" + ":".join(sys.path)}
    path = write_gguf(tmp_path / "m.gguf", "llama", LLAMA_GQA)
    result = marlix_cli("roster", path, env=env)
    assert (result.returncode, result.stdout, result.stderr) == (
        2,
        "",
        "marlix: marlix roster needs gguf; install it with: pip install 'marlix[files]'\n",
    )
    # A Hugging Face folder needs no gguf.
    folder = write_folder(tmp_path / "hf", LLAMA_CONFIG, ONE_SHARD)
    result = marlix_cli("roster", folder, env=env)
    assert result.returncode == 0 and json.loads(result.stdout)[0]["model"] == "hf"


# --- file = in marlix serve -----------------------------------------------------------------


def serve_config(text):
    config = pytest.importorskip("marlix.serve.config")
    return config.parse_config(config.tomllib.loads(textwrap.dedent(text)), "serve.toml")


def serve_problems(text):
    with pytest.raises(marlix.errors.InputError) as raised:
        serve_config(text)
    return str(raised.value)


def test_serve_reads_a_models_bytes_from_its_file(tmp_path):
    gguf_path = write_gguf(tmp_path / "chat.gguf", "llama", LLAMA_GQA)
    folder = write_folder(tmp_path / "coder", LLAMA_CONFIG, ONE_SHARD)
    read = serve_config(f"""
        [card]
        size = "24GiB"
        [[models]]
        name = "chat"
        file = "{gguf_path}"
        command = ["srv", "{{port}}"]
        [[models]]
        name = "coder"
        file = "{folder}"
        ctx = 100
        parallel = 2
        kv_type = "q8_0"
        command = ["srv", "{{port}}"]
    """)
    assert json.loads(read.roster_json()) == [
        {"model": "chat", "weightsBytes": DEFAULT_WEIGHTS, "kvBytes": 2048 * 4 * 128 * 2},
        {"model": "coder", "weightsBytes": 216, "kvBytes": 200 * 6 * (64 + 64) // 32 * 34 * 2},
    ]


def test_serve_file_problems_are_reported_with_the_others(tmp_path):
    gguf_path = write_gguf(tmp_path / "chat.gguf", "llama", LLAMA_GQA)
    (tmp_path / "bad.gguf").write_bytes(b"GGUF\x03\x00")
    found = serve_problems(f"""
        [card]
        size = "lots"
        [[models]]
        name = "a"
        file = "{tmp_path / "bad.gguf"}"
        command = ["srv", "{{port}}"]
        [[models]]
        name = "b"
        file = "{gguf_path}"
        weights_bytes = "1GiB"
        command = ["srv", "{{port}}"]
        [[models]]
        name = "c"
        weights_bytes = 1
        ctx = 10
        command = ["srv", "{{port}}"]
        [[models]]
        name = "d"
        file = "{gguf_path}"
        kv_type = "q5_1"
        parallel = 0
        command = ["srv", "{{port}}"]
    """)
    places = [
        "card.size: invalid size 'lots'",
        f"models[0].file: {tmp_path / 'bad.gguf'}: corrupt or truncated GGUF file",
        "models[1].file: give either file or weights_bytes",
        "models[2].ctx: only with file",
        "models[3].parallel: must be a whole number from 1 up",
        "models[3].kv_type: 'q5_1' is not one of: f16, bf16, f32, q8_0, q4_0",
    ]
    assert all(found.count(place) == 1 for place in places), found
    assert sorted(places, key=found.index) == places

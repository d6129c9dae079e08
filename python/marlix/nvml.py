"""The sizes of the GPUs read through NVML, for `--card auto` (the optional extra marlix[nvml])."""

from __future__ import annotations

import importlib
from collections.abc import Iterator
from contextlib import contextmanager
from types import ModuleType

from marlix.errors import InputError

__all__ = ["all_gpu_total_bytes", "gpu0_total_bytes"]


def gpu0_total_bytes(asked_by: str = "--card auto") -> int:
    """The total memory of GPU 0; `asked_by` names the setting in error texts."""
    with _nvml(asked_by) as pynvml:
        return _total_bytes(pynvml, 0, asked_by)


def all_gpu_total_bytes(asked_by: str = "--card auto") -> list[int]:
    """The total memory of every GPU, in NVML's index order; `asked_by` names the setting in
    error texts. A machine on which NVML sees no GPU is an error, as for GPU 0 alone."""
    with _nvml(asked_by) as pynvml:
        try:
            count = int(pynvml.nvmlDeviceGetCount())
        except pynvml.NVMLError as error:
            raise InputError(f"{asked_by}: cannot count the GPUs: {error}") from None
        if count == 0:
            raise InputError(f"{asked_by}: NVML sees no GPU")
        return [_total_bytes(pynvml, index, asked_by) for index in range(count)]


@contextmanager
def _nvml(asked_by: str) -> Iterator[ModuleType]:
    try:
        pynvml = importlib.import_module("pynvml")
    except ImportError:
        raise InputError(
            f"{asked_by} needs NVML; install it with: pip install 'marlix[nvml]'"
        ) from None
    try:
        pynvml.nvmlInit()
    except pynvml.NVMLError as error:
        raise InputError(f"{asked_by}: NVML is not available: {error}") from None
    try:
        yield pynvml
    finally:
        pynvml.nvmlShutdown()


def _total_bytes(pynvml: ModuleType, index: int, asked_by: str) -> int:
    try:
        handle = pynvml.nvmlDeviceGetHandleByIndex(index)
        return int(pynvml.nvmlDeviceGetMemoryInfo(handle).total)
    except pynvml.NVMLError as error:
        raise InputError(f"{asked_by}: cannot read the memory of GPU {index}: {error}") from None

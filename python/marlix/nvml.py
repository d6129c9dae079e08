"""The size of GPU 0 read through NVML, for `--card auto` (the optional extra marlix[nvml])."""

from __future__ import annotations

import importlib

from marlix.errors import InputError


def gpu0_total_bytes(asked_by: str = "--card auto") -> int:
    """The total memory of GPU 0; `asked_by` names the setting in error texts."""
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
        handle = pynvml.nvmlDeviceGetHandleByIndex(0)
        return int(pynvml.nvmlDeviceGetMemoryInfo(handle).total)
    except pynvml.NVMLError as error:
        raise InputError(f"{asked_by}: cannot read the memory of GPU 0: {error}") from None
    finally:
        pynvml.nvmlShutdown()

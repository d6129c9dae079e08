"""What NVML says about the card while models run: the memory a process group holds, and
whether the GPU is still there. Without NVML (or a GPU) the host falls back on the declared
sizes and assumes the GPU is present."""

from __future__ import annotations

import importlib
import os
from types import ModuleType


class Gpu:
    """NVML, for every card of the host, each named by its NVML index."""

    def __init__(self) -> None:
        self._nvml = _start_nvml()

    @property
    def available(self) -> bool:
        return self._nvml is not None

    def group_bytes(self, index: int, pgid: int) -> int | None:
        """Bytes of memory of GPU `index` held by the processes of group `pgid`, or None when
        NVML cannot say."""
        nvml = self._nvml
        if nvml is None:
            return None
        try:
            handle = nvml.nvmlDeviceGetHandleByIndex(index)
            processes = list(nvml.nvmlDeviceGetComputeRunningProcesses(handle))
            processes += list(nvml.nvmlDeviceGetGraphicsRunningProcesses(handle))
        except Exception:
            return None
        total = 0
        seen: set[int] = set()
        for process in processes:
            pid = int(process.pid)
            if pid in seen or _group_of(pid) != pgid:
                continue
            seen.add(pid)
            used = process.usedGpuMemory
            total += int(used) if used is not None else 0
        return total

    def present(self, index: int) -> bool:
        """False only when NVML answers that GPU `index` is gone."""
        nvml = self._nvml
        if nvml is None:
            return True
        try:
            handle = nvml.nvmlDeviceGetHandleByIndex(index)
            nvml.nvmlDeviceGetMemoryInfo(handle)
        except Exception as error:
            lost = getattr(nvml, "NVMLError_GpuIsLost", None)
            return not (lost is not None and isinstance(error, lost))
        return True

    def close(self) -> None:
        if self._nvml is not None:
            try:
                self._nvml.nvmlShutdown()
            except Exception:
                pass
            self._nvml = None


def _start_nvml() -> ModuleType | None:
    try:
        nvml = importlib.import_module("pynvml")
        nvml.nvmlInit()
        nvml.nvmlDeviceGetHandleByIndex(0)
    except Exception:
        return None
    return nvml


def _group_of(pid: int) -> int | None:
    try:
        return os.getpgid(pid)
    except OSError:
        return None

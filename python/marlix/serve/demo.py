"""The configuration `marlix serve --demo` runs: stand-in model servers on a 24 GiB card, so
that the whole host can be tried without a GPU or a model file. Two models fit and serve, one
fits the card alone but not beside the others and is swapped in when asked for, one fails to
load and one exits after a while and is loaded again."""

from __future__ import annotations

import sys

from marlix.serve.config import CardConfig, Config, ModelConfig, ServerConfig

GIB = 2**30


def _standin(name: str, *options: str) -> tuple[str, ...]:
    return (sys.executable, "-m", "marlix.standin", "--port", "{port}", "--model", name, *options)


def demo_config(host: str = "127.0.0.1", port: int = 8080) -> Config:
    models = (
        ModelConfig("chat-8b", 8 * GIB, 2 * GIB, _standin("chat-8b", "--load-s", "3")),
        ModelConfig("coder-7b", 4 * GIB, 1 * GIB, _standin("coder-7b", "--load-s", "2")),
        # 16 GiB: the card's 21.6 usable hold it alone, not beside the 19 GiB of the others.
        ModelConfig("vision-34b", 14 * GIB, 2 * GIB, _standin("vision-34b"), load="demand"),
        ModelConfig(
            "embed-small",
            GIB // 2,
            0,
            _standin(
                "embed-small",
                "--exit-after",
                "1",
                "--exit-message",
                "error: cannot open /models/embed-small.gguf: No such file or directory",
            ),
        ),
        ModelConfig(
            "flaky-3b",
            3 * GIB,
            GIB // 2,
            _standin(
                "flaky-3b",
                "--load-s",
                "1",
                "--exit-after",
                "40",
                "--exit-message",
                "CUDA error: an illegal memory access was encountered",
            ),
        ),
    )
    return Config(
        CardConfig((24 * GIB,), False, 10),
        ServerConfig(host=host, port=port, wait_s=30, swap=True),
        models,
    )

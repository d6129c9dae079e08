"""Sends requests through LiteLLM's Router, built by the README's own code, to marlix hosts.

Run by test_routers.py with the python of the venv that scripts/test.sh installs LiteLLM into
(build/litellm-venv), never with the project's:

    python litellm_driver.py --readme README.md --model chat --requests 8 [--stream] URL...

It executes the first ```python block of the README's "Several hosts" section, which defines
`marlix_router(hosts, models)`, so that what is tested is what the README tells people to run.
It prints one JSON document: LiteLLM's version, one entry per request (its answer's text, or the
error the client got), and every attempt to reach an address other than loopback, which it refuses.
"""

from __future__ import annotations

import argparse
import asyncio
import ipaddress
import json
import os
import re
import socket
import sys
from pathlib import Path
from typing import Any

# Before LiteLLM is imported: it reads these at import time. The model cost map is the copy the
# package carries, and nothing is fetched on LiteLLM's own initiative.
os.environ["LITELLM_LOCAL_MODEL_COST_MAP"] = "True"
os.environ["LITELLM_OFFLINE_MODE"] = "true"
os.environ["HF_HUB_OFFLINE"] = "1"
for name in list(os.environ):
    # No telemetry destination, and no proxy between the router and the hosts.
    if name.startswith("LITELLM_TELEMETRY_") or name.lower().endswith("_proxy"):
        del os.environ[name]

refused: list[str] = []


def _loopback(host: object) -> bool:
    if not isinstance(host, str):
        return host is None  # getaddrinfo(None, ...) is the local host
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.split("%")[0]).is_loopback
    except ValueError:
        return False


def keep_to_loopback() -> None:
    """Refuses, and records, every name lookup and connection that would leave 127.0.0.0/8."""
    lookup = socket.getaddrinfo
    connect = socket.socket.connect
    connect_ex = socket.socket.connect_ex

    def guarded_lookup(host: Any, *args: Any, **kwargs: Any) -> Any:
        if isinstance(host, bytes):
            host = host.decode()
        if not _loopback(host):
            refused.append(f"lookup {host}")
            raise socket.gaierror(socket.EAI_NONAME, f"{host}: only loopback is reached here")
        return lookup(host, *args, **kwargs)

    def guarded(address: Any) -> None:
        if isinstance(address, tuple) and not _loopback(address[0]):
            refused.append(f"connect {address[0]}:{address[1]}")
            raise ConnectionRefusedError(f"{address[0]}: only loopback is reached here")

    def guarded_connect(self: socket.socket, address: Any) -> None:
        guarded(address)
        connect(self, address)

    def guarded_connect_ex(self: socket.socket, address: Any) -> int:
        guarded(address)
        return connect_ex(self, address)

    socket.getaddrinfo = guarded_lookup  # type: ignore[assignment]
    socket.socket.connect = guarded_connect  # type: ignore[method-assign]
    socket.socket.connect_ex = guarded_connect_ex  # type: ignore[method-assign]


def readme_router_code(readme: Path) -> str:
    """The first ```python block of the README's "Several hosts" section."""
    text = readme.read_text("utf-8")
    section = re.search(r"^## Several hosts\n(.*?)(?=^## |\Z)", text, re.M | re.S)
    if section is None:
        raise SystemExit(f'{readme}: no "## Several hosts" section')
    block = re.search(r"^```python\n(.*?)^```", section.group(1), re.M | re.S)
    if block is None:
        raise SystemExit(f'{readme}: no python block under "## Several hosts"')
    return block.group(1)


def answer_text(response: Any, stream: bool) -> str:
    if stream:
        return "".join(chunk.choices[0].delta.content or "" for chunk in response)
    return str(response.choices[0].message.content)


async def send(router: Any, model: str, count: int, stream: bool) -> list[dict[str, Any]]:
    answers: list[dict[str, Any]] = []
    for _ in range(count):
        messages = [{"role": "user", "content": "Hello"}]
        try:
            response = await router.acompletion(model=model, messages=messages, stream=stream)
            if stream:
                chunks = [chunk async for chunk in response]
                text = answer_text(chunks, stream=True)
                hidden: dict[str, Any] = {}
            else:
                text = answer_text(response, stream=False)
                hidden = getattr(response, "_hidden_params", None) or {}
            headers = hidden.get("additional_headers") or {}
            retries = headers.get("x-litellm-attempted-retries")
            answers.append({"ok": True, "text": text, "retries": retries})
        except Exception as error:  # what the client gets is the result
            answers.append(
                {
                    "ok": False,
                    "error": type(error).__name__,
                    "status": getattr(error, "status_code", None),
                    "message": str(error)[:500],
                }
            )
    return answers


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--readme", type=Path, required=True)
    parser.add_argument("--model", required=True)
    parser.add_argument("--requests", type=int, default=8)
    parser.add_argument("--stream", action="store_true")
    parser.add_argument("hosts", nargs="+", help="base URLs such as http://127.0.0.1:8080")
    args = parser.parse_args()

    keep_to_loopback()
    import litellm

    namespace: dict[str, Any] = {}
    exec(compile(readme_router_code(args.readme), str(args.readme), "exec"), namespace)
    router = namespace["marlix_router"](args.hosts, [args.model])
    answers = asyncio.run(send(router, args.model, args.requests, args.stream))
    version = getattr(litellm, "__version__", None)
    if version is None:
        from importlib.metadata import version as installed

        version = installed("litellm")
    json.dump({"litellm": version, "answers": answers, "refused": refused}, sys.stdout)
    print()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())

"""A real headless Chromium, driven through the DevTools protocol, for tests of pages.

    async with Browser() as browser:
        page = await browser.open(url)
        await page.wait_for("document.querySelector('tr') !== null", timeout=5)
        rows = await page.evaluate("document.querySelectorAll('tr').length")

Every wait is bounded; Chromium is killed and its profile removed on the way out. Without
Debian's `chromium` installed the calling test is skipped.
"""

from __future__ import annotations

import asyncio
import base64
import itertools
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path
from types import TracebackType
from typing import Any

import aiohttp
import pytest

# Flags that keep Chromium quiet: no first-run UI, and none of the background services that
# would reach out to the network on their own.
FLAGS = [
    "--headless=new",
    "--no-sandbox",
    "--disable-gpu",
    "--disable-dev-shm-usage",
    "--no-first-run",
    "--no-default-browser-check",
    "--no-proxy-server",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-default-apps",
    "--disable-domain-reliability",
    "--disable-extensions",
    "--disable-sync",
    "--disable-breakpad",
    "--metrics-recording-only",
    "--disable-features=Translate,OptimizationHints,MediaRouter",
    "--remote-debugging-port=0",
    "--window-size=1200,900",
]


class BrowserError(Exception):
    """Chromium did not start, or a DevTools command failed."""


class EvaluationError(BrowserError):
    """An expression threw in the page."""


def chromium_path() -> str:
    for name in ("chromium", "chromium-browser"):
        found = shutil.which(name)
        if found:
            return found
    pytest.skip("needs a headless browser: install Debian's chromium (apt-get install chromium)")


class Page:
    """One tab: commands go out over its websocket, and its events are kept for inspection."""

    def __init__(self, ws: aiohttp.ClientWebSocketResponse, timeout: float) -> None:
        self._ws = ws
        self._timeout = timeout
        self._ids = itertools.count(1)
        self._pending: dict[int, asyncio.Future[dict[str, Any]]] = {}
        self._changed = asyncio.Event()
        self.events: list[tuple[str, dict[str, Any]]] = []
        self._frame_id: str | None = None
        self._reader = asyncio.create_task(self._read())

    async def _read(self) -> None:
        try:
            async for message in self._ws:
                if message.type != aiohttp.WSMsgType.TEXT:
                    break
                data = json.loads(message.data)
                if "id" in data:
                    future = self._pending.pop(data["id"], None)
                    if future is not None and not future.done():
                        future.set_result(data)
                else:
                    self.events.append((data.get("method", ""), data.get("params", {})))
                    self._changed.set()
        finally:
            for future in self._pending.values():
                if not future.done():
                    future.set_exception(BrowserError("the DevTools connection closed"))
            self._pending.clear()

    async def send(
        self, method: str, params: dict[str, Any] | None = None, timeout: float | None = None
    ) -> dict[str, Any]:
        """Runs one DevTools command and returns its result."""
        if self._reader.done():
            raise BrowserError("the DevTools connection is closed")
        ident = next(self._ids)
        future: asyncio.Future[dict[str, Any]] = asyncio.get_running_loop().create_future()
        self._pending[ident] = future
        await self._ws.send_str(json.dumps({"id": ident, "method": method, "params": params or {}}))
        try:
            answer = await asyncio.wait_for(future, timeout or self._timeout)
        except asyncio.TimeoutError:
            raise BrowserError(f"{method}: no answer in {timeout or self._timeout} s") from None
        finally:
            self._pending.pop(ident, None)
        if "error" in answer:
            raise BrowserError(f"{method}: {answer['error']}")
        result: dict[str, Any] = answer.get("result", {})
        return result

    def count(self, method: str) -> int:
        return sum(1 for name, _ in self.events if name == method)

    async def wait_event(self, method: str, after: int = 0, timeout: float | None = None) -> None:
        """Waits until more than `after` events named `method` have arrived."""
        deadline = time.monotonic() + (timeout or self._timeout)
        while self.count(method) <= after:
            left = deadline - time.monotonic()
            if left <= 0 or self._reader.done():
                raise BrowserError(f"no {method} event in {timeout or self._timeout} s")
            self._changed.clear()
            try:
                await asyncio.wait_for(self._changed.wait(), min(left, 0.5))
            except asyncio.TimeoutError:
                pass

    async def navigate(self, url: str) -> None:
        """Loads `url` and waits for its load event."""
        loads = self.count("Page.loadEventFired")
        result = await self.send("Page.navigate", {"url": url})
        if result.get("errorText"):
            raise BrowserError(f"navigating to {url}: {result['errorText']}")
        self._frame_id = result.get("frameId", self._frame_id)
        await self.wait_event("Page.loadEventFired", after=loads)

    @property
    def navigations(self) -> int:
        """How many times the top frame has navigated: a reload counts too."""
        return sum(
            1
            for name, params in self.events
            if name == "Page.frameNavigated" and not params.get("frame", {}).get("parentId")
        )

    @property
    def requests(self) -> list[str]:
        """The URL of every request the page has made, in order."""
        return [
            params.get("request", {}).get("url", "")
            for name, params in self.events
            if name == "Network.requestWillBeSent"
        ]

    async def evaluate(self, expression: str, timeout: float | None = None) -> Any:
        """The value of a JavaScript expression (awaited if it is a promise), as JSON data."""
        result = await self.send(
            "Runtime.evaluate",
            {"expression": expression, "returnByValue": True, "awaitPromise": True},
            timeout,
        )
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            described = details.get("exception", {}).get("description") or details.get("text")
            raise EvaluationError(f"{expression!r} threw: {described}")
        return result.get("result", {}).get("value")

    async def wait_for(self, expression: str, timeout: float = 10.0, every: float = 0.1) -> Any:
        """Evaluates `expression` until it is truthy and returns that value."""
        deadline = time.monotonic() + timeout
        value: Any = None
        for _ in range(int(timeout / every) + 2):
            value = await self.evaluate(expression)
            if value:
                return value
            if time.monotonic() >= deadline:
                break
            await asyncio.sleep(every)
        raise BrowserError(f"{expression!r} still {value!r} after {timeout} s")

    async def screenshot(self, path: Path, full_page: bool = True) -> None:
        """Saves what the tab shows as a PNG at `path`: the whole page, or the window."""
        params: dict[str, Any] = {"format": "png"}
        if full_page:
            params["captureBeyondViewport"] = True
            size = await self.evaluate(
                "[document.documentElement.scrollWidth, document.documentElement.scrollHeight]"
            )
            params["clip"] = {"x": 0, "y": 0, "width": size[0], "height": size[1], "scale": 1}
        result = await self.send("Page.captureScreenshot", params)
        path.write_bytes(base64.b64decode(result["data"]))

    async def mark(self) -> None:
        """Leaves a mark in the page's window: it survives updates in place, not a reload."""
        await self.evaluate("window.__marker = 1")

    async def still_marked(self) -> bool:
        return bool(await self.evaluate("window.__marker === 1"))

    async def close(self) -> None:
        await self._ws.close()
        self._reader.cancel()
        try:
            await self._reader
        except (asyncio.CancelledError, Exception):
            pass


class Browser:
    """A headless Chromium for one test; use as `async with Browser() as browser`."""

    def __init__(self, timeout: float = 10.0) -> None:
        self.timeout = timeout
        self._process: subprocess.Popen[bytes] | None = None
        self._profile: str | None = None
        self._session: aiohttp.ClientSession | None = None
        self._pages: list[Page] = []
        self.port = 0

    async def __aenter__(self) -> Browser:
        executable = chromium_path()
        self._profile = tempfile.mkdtemp(prefix="marlix-chromium-")
        try:
            await self._start(executable)
        except BaseException:
            await self.close()
            raise
        return self

    async def __aexit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        await self.close()

    def _log(self) -> str:
        assert self._profile is not None
        try:
            return Path(self._profile, "chromium.log").read_text(errors="replace")[-2000:]
        except OSError:
            return ""

    async def _start(self, executable: str) -> None:
        assert self._profile is not None
        log = open(Path(self._profile, "chromium.log"), "wb")
        try:
            self._process = subprocess.Popen(
                [executable, *FLAGS, f"--user-data-dir={self._profile}", "about:blank"],
                stdin=subprocess.DEVNULL,
                stdout=log,
                stderr=subprocess.STDOUT,
                start_new_session=True,
            )
        finally:
            log.close()
        # Chromium writes its port to the profile once it listens: "<port>\n<browser path>".
        active = Path(self._profile, "DevToolsActivePort")
        deadline = time.monotonic() + self.timeout
        for _ in range(int(self.timeout / 0.05) + 1):
            if self._process.poll() is not None:
                raise BrowserError(f"chromium exited ({self._process.returncode}):\n{self._log()}")
            try:
                lines = active.read_text().split("\n")
            except OSError:
                lines = []
            if len(lines) >= 2 and lines[0].strip().isdigit():
                self.port = int(lines[0])
                break
            if time.monotonic() > deadline:
                break
            await asyncio.sleep(0.05)
        if not self.port:
            raise BrowserError(
                f"chromium gave no DevTools port in {self.timeout} s:\n{self._log()}"
            )
        # Not from the environment: a proxy must never see the loopback traffic.
        self._session = aiohttp.ClientSession(
            trust_env=False, timeout=aiohttp.ClientTimeout(total=self.timeout)
        )

    async def _new_tab(self) -> dict[str, Any]:
        assert self._session is not None
        base = f"http://127.0.0.1:{self.port}"
        # Reuse the tab Chromium opened with about:blank; later pages get tabs of their own.
        if not self._pages:
            async with self._session.get(f"{base}/json/list") as response:
                targets = await response.json()
            for target in targets:
                if target.get("type") == "page" and target.get("webSocketDebuggerUrl"):
                    return dict(target)
        async with self._session.put(f"{base}/json/new?about:blank") as response:
            if response.status != 200:
                raise BrowserError(f"/json/new: HTTP {response.status}")
            return dict(await response.json())

    async def open(self, url: str) -> Page:
        """A new tab with its Page, Runtime and Network events recorded, showing `url`."""
        assert self._session is not None, "use Browser as an async context manager"
        target = await self._new_tab()
        ws = await self._session.ws_connect(
            target["webSocketDebuggerUrl"], max_msg_size=0, timeout=aiohttp.ClientWSTimeout()
        )
        page = Page(ws, self.timeout)
        self._pages.append(page)
        for domain in ("Page", "Runtime", "Network"):
            await page.send(f"{domain}.enable")
        await page.navigate(url)
        return page

    async def close(self) -> None:
        for page in self._pages:
            try:
                await asyncio.wait_for(page.close(), 2)
            except (asyncio.TimeoutError, Exception):
                pass
        self._pages.clear()
        if self._session is not None:
            await self._session.close()
            self._session = None
        if self._process is not None:
            # Chromium runs in a session of its own: signalling the group reaches its
            # renderer and helper processes too, even once the browser itself is gone.
            for signal_number, wait in ((signal.SIGTERM, 3.0), (signal.SIGKILL, 5.0)):
                try:
                    os.killpg(self._process.pid, signal_number)
                except ProcessLookupError:
                    break
                try:
                    self._process.wait(wait)
                except subprocess.TimeoutExpired:
                    continue
            self._process = None
        if self._profile is not None:
            shutil.rmtree(self._profile, ignore_errors=True)
            self._profile = None

#!/usr/bin/env python3
"""Runs the browser end-to-end checks in headless Chromium.

Serves the test page on 127.0.0.1 (a thread of this process), starts
Chromium with the sample extension and --remote-debugging-pipe, and drives it
with a minimal DevTools protocol client: waits for the extension's service
worker, opens the page, runs its check phases with Runtime.evaluate and swaps
the host manifest between phases with tolvexctl. Every process it starts is
ended before it returns. Exit status 0 when every check passed.
"""

import base64
import fcntl
import json
import os
import select
import subprocess
import sys
import time

import common

CHROMIUM = "/usr/lib/chromium/chromium"


class Cdp:
    """DevTools protocol over the pipe: NUL-terminated JSON both ways."""

    def __init__(self, write_fd, read_fd):
        self.write_fd = write_fd
        self.read_fd = read_fd
        self.buffer = b""
        self.next_id = 0
        self.events = []

    def _read_message(self, deadline):
        while b"\0" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no message from the browser")
            ready, _, _ = select.select([self.read_fd], [], [], left)
            if not ready:
                continue
            chunk = os.read(self.read_fd, 1 << 16)
            if not chunk:
                raise EOFError("the browser closed the DevTools pipe")
            self.buffer += chunk
        raw, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(raw)

    def send(self, method, params=None, session=None, timeout=30.0):
        self.next_id += 1
        msg = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            msg["sessionId"] = session
        data = json.dumps(msg).encode() + b"\0"
        while data:
            data = data[os.write(self.write_fd, data):]
        deadline = time.monotonic() + timeout
        while True:
            reply = self._read_message(deadline)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            self.events.append(reply)

    def wait_event(self, predicate, timeout):
        deadline = time.monotonic() + timeout
        while True:
            for i, ev in enumerate(self.events):
                if predicate(ev):
                    return self.events.pop(i)
            self.events.append(self._read_message(deadline))


def start_browser(args, env):
    # Chromium reads commands on fd 3 and writes on fd 4.
    to_browser_r, to_browser_w = os.pipe()
    from_browser_r, from_browser_w = os.pipe()

    def child_fds():
        # Copies above 10 first, so placing one cannot overwrite the other.
        r = fcntl.fcntl(to_browser_r, fcntl.F_DUPFD, 10)
        w = fcntl.fcntl(from_browser_w, fcntl.F_DUPFD, 10)
        os.dup2(r, 3)
        os.dup2(w, 4)

    cmd = [CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
           "--no-first-run", "--no-default-browser-check", "--disable-background-networking",
           "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage",
           f"--user-data-dir={args.udd}", "--remote-debugging-pipe",
           f"--load-extension={args.extension}",
           f"--disable-extensions-except={args.extension}", "about:blank"]
    log = open(os.path.join(args.work, "chromium.log"), "wb")
    proc = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                            preexec_fn=child_fds, close_fds=False,
                            start_new_session=True)
    os.close(to_browser_r)
    os.close(from_browser_w)
    return proc, Cdp(to_browser_w, from_browser_r)


def evaluate(cdp, session, expression, timeout=30):
    result = cdp.send("Runtime.evaluate", {"expression": expression, "awaitPromise": True,
                                           "returnByValue": True}, session=session,
                      timeout=timeout)
    if "exceptionDetails" in result:
        details = result["exceptionDetails"]
        text = details.get("exception", {}).get("description") or details.get("text")
        raise RuntimeError(f"page exception: {text}")
    return result["result"].get("value")


# Input.dispatchKeyEvent's fields for the keys the tests press.
KEYS = {"Tab": ("Tab", 9, ""), "Enter": ("Enter", 13, "\r"), "Escape": ("Escape", 27, ""),
        "Backspace": ("Backspace", 8, "")}


class Chromium:
    name = "Chromium"
    keyboard = True

    def __init__(self, args):
        self.args = args
        self.log = os.path.join(args.work, "chromium.log")
        self.proc = self.cdp = self.session = None
        self.windows = {}
        self.answered = set()

    def start(self, checks):
        self.proc, self.cdp = start_browser(self.args, os.environ.copy())
        self.cdp.send("Target.setDiscoverTargets", {"discover": True})
        worker_url = f"chrome-extension://{self.args.extension_id}/"
        try:
            self.cdp.wait_event(lambda ev: ev.get("method") in ("Target.targetCreated",
                                                                "Target.targetInfoChanged")
                                and ev["params"]["targetInfo"]["type"] == "service_worker"
                                and ev["params"]["targetInfo"]["url"].startswith(worker_url), 20)
            checks.append({"name": "extension loaded with its fixed ID", "ok": True})
        except TimeoutError:
            checks.append({"name": "extension loaded with its fixed ID", "ok": False,
                           "detail": f"no service worker at {worker_url}"})
            raise
        target = self.cdp.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = self.cdp.send("Target.attachToTarget", {"targetId": target,
                                                               "flatten": True})["sessionId"]

    def navigate(self, url):
        self.cdp.send("Page.navigate", {"url": url}, session=self.session)

    def evaluate_page(self, expression, timeout):
        return evaluate(self.cdp, self.session, expression, timeout)

    def consent_windows(self):
        prefix = f"chrome-extension://{self.args.extension_id}/consent.html"
        targets = self.cdp.send("Target.getTargets")["targetInfos"]
        return [t["targetId"] for t in targets if t["type"] == "page" and t["url"].startswith(prefix)]

    def _window_session(self, window):
        if window not in self.windows:
            self.windows[window] = self.cdp.send("Target.attachToTarget", {"targetId": window,
                                                                           "flatten": True})["sessionId"]
        return self.windows[window]

    def evaluate_window(self, window, expression):
        return evaluate(self.cdp, self._window_session(window), expression, 10)

    def press(self, window, key):
        """A named key (Tab, Enter, Escape) or a character, as a keyboard
        sends it to the focused element."""
        session = self._window_session(window)
        name, code, text = KEYS[key] if key in KEYS else (key, ord(key.upper()), key)
        down = {"type": "keyDown", "key": name, "windowsVirtualKeyCode": code,
                "code": name if key in KEYS else ("Digit" + key if key.isdigit() else "Key" + key.upper())}
        if text:
            down["text"] = text
        self.cdp.send("Input.dispatchKeyEvent", down, session=session)
        # Enter and Escape may close the window: no key-up into a window
        # that may be gone (the page acts on the key-down).
        if key not in ("Enter", "Escape"):
            up = {k: v for k, v in down.items() if k != "text"}
            self.cdp.send("Input.dispatchKeyEvent", {**up, "type": "keyUp"}, session=session)

    def screenshot(self, window, path, zoom=1):
        """The whole window, as tall as its content; with zoom 2, laid out as
        at 200 % (half the CSS width, twice the pixels)."""
        session = self._window_session(window)
        width = evaluate(self.cdp, session, "innerWidth") // zoom
        metrics = {"width": width, "height": 100, "deviceScaleFactor": zoom, "mobile": False}
        self.cdp.send("Emulation.setDeviceMetricsOverride", metrics, session=session)
        try:
            height = evaluate(self.cdp, session, "document.documentElement.scrollHeight")
            self.cdp.send("Emulation.setDeviceMetricsOverride", {**metrics, "height": height}, session=session)
            shot = self.cdp.send("Page.captureScreenshot", {"format": "png"}, session=session)
        finally:
            self.cdp.send("Emulation.clearDeviceMetricsOverride", {}, session=session)
        with open(path, "wb") as f:
            f.write(base64.b64decode(shot["data"]))

    def _ctl(self, *extra):
        subprocess.run([self.args.ctl, *extra, "--browser", "chromium",
                        "--dir", os.path.join(self.args.udd, "NativeMessagingHosts")],
                       check=True, stdout=subprocess.DEVNULL)

    def install(self, agent, caller):
        self._ctl("install", "--agent", agent, "--extension-id",
                  "a" * 32 if caller == "other" else self.args.extension_id)

    def uninstall(self):
        self._ctl("uninstall")

    def close(self):
        if not self.proc:
            return True
        try:
            self.cdp.send("Browser.close", timeout=5)
        except Exception:
            pass
        return common.end_session(self.proc)


def main():
    args = common.arguments(["udd", "extension_id"])
    return common.drive(args, Chromium(args))


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Runs the browser end-to-end checks in headless Firefox ESR.

Starts Firefox with a fresh profile and its built-in WebDriver BiDi server
(no geckodriver), installs the sample extension as a temporary add-on, opens
the test page and runs the same check phases as the Chromium driver with
script.evaluate; the host manifest is written by tolvexctl into the private
HOME between phases. Every process it starts is ended before it returns.
Exit status 0 when every check passed.
"""

import base64
import json
import os
import re
import select
import socket
import struct
import subprocess
import sys
import time

import common

FIREFOX = "/usr/bin/firefox-esr"

# A quiet profile: no telemetry, updates or first-run pages; unsigned add-ons
# allowed (ESR honours the preference); the remote agent's own recommended
# preferences on top.
PREFS = {
    "remote.prefs.recommended": True,
    "xpinstall.signatures.required": False,
    "extensions.autoDisableScopes": 0,
    "datareporting.policy.dataSubmissionEnabled": False,
    "toolkit.telemetry.enabled": False,
    "app.update.disabledForTesting": True,
    "browser.shell.checkDefaultBrowser": False,
    "browser.startup.homepage_override.mstone": "ignore",
    "browser.aboutwelcome.enabled": False,
}


class WebSocket:
    """A minimal RFC 6455 client: text frames, masked as a client must."""

    def __init__(self, host, port, path, timeout=20):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET {path} HTTP/1.1\r\nHost: {host}:{port}\r\nUpgrade: websocket\r\n"
                           f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                           "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise EOFError("the browser closed the WebDriver connection")
            head += chunk
        head, self.buffer = head.split(b"\r\n\r\n", 1)
        if b" 101 " not in head.split(b"\r\n", 1)[0]:
            raise RuntimeError(f"WebSocket handshake refused: {head[:200]!r}")

    def _send_frame(self, opcode, payload):
        header = bytes([0x80 | opcode])
        n = len(payload)
        if n < 126:
            header += bytes([0x80 | n])
        elif n < 1 << 16:
            header += bytes([0x80 | 126]) + struct.pack(">H", n)
        else:
            header += bytes([0x80 | 127]) + struct.pack(">Q", n)
        mask = os.urandom(4)
        self.sock.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

    def send(self, text):
        self._send_frame(0x1, text.encode())

    def _read(self, n, deadline):
        while len(self.buffer) < n:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                raise TimeoutError("no message from the browser")
            chunk = self.sock.recv(1 << 16)
            if not chunk:
                raise EOFError("the browser closed the WebDriver connection")
            self.buffer += chunk
        out, self.buffer = self.buffer[:n], self.buffer[n:]
        return out

    def receive(self, deadline):
        message = b""
        while True:
            b0, b1 = self._read(2, deadline)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack(">H", self._read(2, deadline))[0]
            elif n == 127:
                n = struct.unpack(">Q", self._read(8, deadline))[0]
            payload = self._read(n, deadline)
            opcode = b0 & 0x0F
            if opcode == 0x8:
                raise EOFError("the browser closed the WebDriver connection")
            if opcode == 0x9:
                self._send_frame(0xA, payload)
                continue
            if opcode in (0x0, 0x1, 0x2):
                message += payload
                if b0 & 0x80:
                    return message.decode()

    def close(self):
        self.sock.close()


class Bidi:
    def __init__(self, ws):
        self.ws = ws
        self.next_id = 0
        self.events = []

    def send(self, method, params=None, timeout=30.0):
        self.next_id += 1
        self.ws.send(json.dumps({"id": self.next_id, "method": method, "params": params or {}}))
        deadline = time.monotonic() + timeout
        while True:
            reply = json.loads(self.ws.receive(deadline))
            if reply.get("id") == self.next_id:
                if reply.get("type") == "error":
                    raise RuntimeError(f"{method}: {reply.get('error')}: {reply.get('message')}")
                return reply.get("result", {})
            self.events.append(reply)


def start_browser(args, env):
    profile = os.path.join(args.work, "firefox-profile")
    os.makedirs(profile, exist_ok=True)
    with open(os.path.join(profile, "user.js"), "w") as f:
        for key, value in PREFS.items():
            f.write(f"user_pref({json.dumps(key)}, {json.dumps(value)});\n")
    log_path = os.path.join(args.work, "firefox.log")
    log = open(log_path, "wb")
    proc = subprocess.Popen([FIREFOX, "--headless", "--no-remote", "--profile", profile,
                             "--remote-debugging-port=0", "about:blank"],
                            env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                            start_new_session=True)
    # The WebDriver BiDi address is on standard error, which goes to the log.
    deadline = time.monotonic() + 30
    while True:
        with open(log_path, "rb") as f:
            m = re.search(rb"WebDriver BiDi listening on ws://([\d.]+):(\d+)", f.read())
        if m:
            return proc, m.group(1).decode(), int(m.group(2))
        if proc.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError("Firefox did not start its WebDriver BiDi server")
        time.sleep(0.05)


def evaluate(bidi, context, expression, timeout=30):
    result = bidi.send("script.evaluate", {"expression": expression, "target": {"context": context},
                                           "awaitPromise": True, "resultOwnership": "none"},
                       timeout=timeout)
    if result.get("type") == "exception":
        details = result.get("exceptionDetails", {})
        raise RuntimeError(f"page exception: {details.get('text')}")
    return result["result"].get("value")


class Firefox:
    name = "Firefox"
    keyboard = False

    def __init__(self, args):
        self.args = args
        self.log = os.path.join(args.work, "firefox.log")
        self.proc = self.ws = self.bidi = self.context = None
        self.answered = set()

    def start(self, checks):
        self.proc, host, port = start_browser(self.args, os.environ.copy())
        self.ws = WebSocket(host, port, "/session")
        self.bidi = Bidi(self.ws)
        self.bidi.send("session.new", {"capabilities": {}})
        installed = self.bidi.send("webExtension.install",
                                   {"extensionData": {"type": "path", "path": self.args.extension}})
        checks.append({"name": "add-on installed with its fixed ID",
                       "ok": installed.get("extension") == self.args.addon_id,
                       "detail": json.dumps(installed)})
        self.context = self.bidi.send("browsingContext.getTree", {})["contexts"][0]["context"]

    def navigate(self, url):
        self.bidi.send("browsingContext.navigate",
                       {"context": self.context, "url": url, "wait": "complete"})

    def evaluate_page(self, expression, timeout):
        return evaluate(self.bidi, self.context, expression, timeout)

    def consent_windows(self):
        contexts = self.bidi.send("browsingContext.getTree", {"maxDepth": 0})["contexts"]
        return [c["context"] for c in contexts
                if c["url"].startswith("moz-extension://") and "/consent.html" in c["url"]]

    def evaluate_window(self, window, expression):
        return evaluate(self.bidi, window, expression, 10)

    def press(self, window, key):
        raise NotImplementedError("the Firefox run answers windows with the mouse")

    def screenshot(self, window, path, zoom=1):
        shot = self.bidi.send("browsingContext.captureScreenshot", {"context": window})
        with open(path, "wb") as f:
            f.write(base64.b64decode(shot["data"]))

    def _ctl(self, *extra):
        subprocess.run([self.args.ctl, *extra, "--browser", "firefox"], check=True,
                       stdout=subprocess.DEVNULL)

    def install(self, agent, caller):
        # Into ~/.mozilla/native-messaging-hosts of the test's own HOME.
        self._ctl("install", "--agent", agent, "--firefox-id",
                  "outro@exemplo.com.br" if caller == "other" else self.args.addon_id)

    def uninstall(self):
        self._ctl("uninstall")

    def close(self):
        if not self.proc:
            return True
        if self.bidi:
            try:
                self.bidi.send("browser.close", timeout=5)
            except Exception:
                pass
        if self.ws:
            self.ws.close()
        return common.end_session(self.proc)


def main():
    args = common.arguments(["addon_id"])
    return common.drive(args, Firefox(args))


if __name__ == "__main__":
    sys.exit(main())

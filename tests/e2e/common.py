"""What the browser drivers share: the test page's web server, the phases
run in the page, the report, and ending every process a browser started."""

import functools
import http.server
import json
import os
import signal
import subprocess
import sys
import threading
import time


class Quiet(http.server.SimpleHTTPRequestHandler):
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map,
                      ".js": "text/javascript"}

    def log_message(self, *args):
        pass


def serve(www):
    """Serves `www` on 127.0.0.1 from a thread; returns (server, base URL)."""
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(Quiet, directory=www))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_address[1]}"


def session_members(sid):
    """Pids of the live processes in session `sid`: the browser, its helpers
    and the native hosts it started. Zombies are left out; their parent
    reaps them."""
    pids = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as f:
                stat = f.read()
            fields = stat[stat.rindex(")") + 2:].split()
            if fields[0] != "Z" and int(fields[3]) == sid:  # state; field 6: session id
                pids.append(int(name))
        except (OSError, ValueError):
            pass
    return pids


def end_session(proc):
    """After the browser was asked to close: waits for it, then sends what is
    left of its session SIGTERM, and SIGKILL after a second; gives the kernel
    up to five seconds to take it all down. True when nothing is left."""
    try:
        proc.wait(timeout=5)
    except subprocess.TimeoutExpired:
        pass
    deadline = time.monotonic() + 5
    first = time.monotonic()
    while True:
        members = session_members(proc.pid)
        if not members or time.monotonic() > deadline:
            break
        sig = signal.SIGTERM if time.monotonic() - first < 1 else signal.SIGKILL
        for pid in members:
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        time.sleep(0.1)
    if proc.poll() is None:
        proc.kill()
        proc.wait()
    left = session_members(proc.pid)
    if left:
        print(f"e2e: processes left behind: {left}", file=sys.stderr)
        return False
    return True


def run_phases(args, browser, checks, timings):
    """The phases every browser goes through, in the page that `browser`
    has open."""
    fixture = json.dumps({**json.load(open(args.fixture)), "browser": browser.name.lower()})

    def run(phase):
        t0 = time.monotonic()
        browser.evaluate_page(f"window.startPhase({json.dumps(phase)}, {fixture})", 10)
        handled = set()
        deadline = t0 + 120
        while True:
            outcome = browser.evaluate_page("window.phaseOutcome()", 10)
            if outcome is not None:
                break
            if time.monotonic() > deadline:
                raise TimeoutError(f"phase {phase} did not end")
            for window in browser.consent_windows():
                if window not in handled:
                    handled.add(window)
                    answer_window(browser, window)
            time.sleep(0.05)
        checks.extend(json.loads(outcome))
        timings.append(f"{phase} {time.monotonic() - t0:.2f} s")

    browser.install(args.agent, None)
    run("main")
    # The same host name now starts an agent that allows other extensions
    # only: the agent must refuse and end with status 2.
    status_file = os.path.join(args.work, "refused.status")
    if os.path.exists(status_file):
        os.remove(status_file)
    browser.install(args.refusing_agent, None)
    run("refused")
    statuses = open(status_file).read().split() if os.path.exists(status_file) else []
    checks.append({"name": "the agent itself refused the caller (exit status 2)",
                   "ok": statuses[:1] == ["2"], "detail": f"statuses {statuses}"})
    # A manifest that lists another extension only.
    browser.install(args.agent, "other")
    run("forbidden")
    browser.uninstall()
    run("unregistered")


def window_state(browser, window, wanted, timeout=15):
    """Waits until the consent window's body says it is in one of the
    `wanted` states; returns its text."""
    deadline = time.monotonic() + timeout
    while True:
        state = browser.evaluate_window(window, "document.body && document.body.dataset.state")
        if state in wanted:
            return browser.evaluate_window(window, "document.body.innerText")
        if time.monotonic() > deadline:
            raise TimeoutError(f"the extension's window stayed in state {state!r}")
        time.sleep(0.05)


def answer_window(browser, window):
    """Does in one of the extension's windows what the page planned for it:
    per step, wait until it is ready (after the first step: until it shows
    an error), keep its text, type the PIN, press the button. Reports the
    texts to the page. A window nobody planned for is refused."""
    plan = json.loads(browser.evaluate_page("window.takeConsentPlan()", 10))
    steps = plan["steps"] if plan else [{"click": "deny"}]
    texts = []
    for i, step in enumerate(steps):
        texts.append(window_state(browser, window, ("ready", "error") if i == 0 else ("error",)))
        shots = os.environ.get("TOLVEX_E2E_SHOTS")
        if shots and step.get("shot"):
            suffix = "" if browser.name == "Chromium" else "-" + browser.name.lower()
            browser.screenshot(window, os.path.join(shots, f"{step['shot']}{suffix}.png"))
        if "pin" in step:
            browser.evaluate_window(window, f"document.getElementById('pin').value = {json.dumps(step['pin'])}")
        # Pressed after the call returns: the extension may close the
        # window at once, and a call into a closing window may never return.
        browser.evaluate_window(
            window, f"setTimeout(() => document.getElementById({json.dumps(step['click'])}).click()), true")
    record = json.dumps({"texts": texts})
    browser.evaluate_page(f"window.consentSeen({json.dumps(plan['id']) if plan else 'null'}, {record})", 10)


def drive(args, browser):
    """Serves the test page, has `browser` start and open it, runs the
    phases, ends every process and reports. A browser offers: name, log,
    start(url, checks), evaluate_page(expression, timeout) giving the value
    of an expression (a string, number, boolean or null), consent_windows()
    listing the extension's windows now open, evaluate_window(window,
    expression) and screenshot(window, path) in one of them, install(agent,
    caller) registering `agent` for the extension (caller None) or for
    another one ("other"), uninstall(), and close() giving True when nothing
    it started is left."""
    server, base = serve(args.www)
    checks = []
    timings = []
    started = time.monotonic()
    try:
        browser.start(base + "/index.html", checks)
        deadline = time.monotonic() + 20
        while not browser.evaluate_page("typeof window.startPhase === 'function'", 10):
            if time.monotonic() > deadline:
                raise TimeoutError("the test page did not load")
            time.sleep(0.05)
        timings.append(f"browser and extension ready {time.monotonic() - started:.2f} s")
        run_phases(args, browser, checks, timings)
    except Exception as e:  # reported below, after the processes are gone
        checks.append({"name": "driver", "ok": False, "detail": f"{type(e).__name__}: {e}"})
    finally:
        clean = browser.close()
        server.shutdown()
        server.server_close()
    checks.append({"name": "every process started by the test has ended", "ok": clean})
    return report(browser.name, checks, timings, started, browser.log)


def report(browser, checks, timings, started, log):
    failed = [c for c in checks if not c.get("ok")]
    for c in checks:
        mark = "ok  " if c.get("ok") else "FAIL"
        detail = f" ({c['detail']})" if c.get("detail") and not c.get("ok") else ""
        print(f"  {mark} {c['name']}{detail}")
    print(f"e2e: {browser}: {len(checks) - len(failed)}/{len(checks)} checks passed in "
          f"{time.monotonic() - started:.2f} s ({'; '.join(timings)})")
    if failed:
        print(f"e2e: browser log in {log}", file=sys.stderr)
    return 1 if failed else 0

#!/usr/bin/env python3
"""The sample site (browser/examples/sign-file) end to end in headless
Chromium: its server, the development copy of the extension, the agent on
the SoftHSM token. Does what a person does, through the page's own
controls: lists the certificates (approving the site in the extension's
window), picks one and a file, signs (PIN in the window), downloads the
.p7s. Then OpenSSL verifies each .p7s against the file, without and with
the token's CA, for the RSA and the EC certificate. Exit status 0 when
every check passed; every process it starts is ended."""

import argparse
import base64
import hashlib
import json
import os
import re
import subprocess
import sys
import time

import common
from cdp_driver import Chromium


def wait_for(what, probe, timeout=20):
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError(what)
        time.sleep(0.05)


def start_server(args):
    log_path = os.path.join(args.work, "sample-server.log")
    log = open(log_path, "wb")
    server = subprocess.Popen(["node", "server.mjs"], cwd=args.sample, env={**os.environ, "PORT": "0"},
                              stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    url = wait_for("the sample server did not start", lambda: re.search(
        r"sample: (http://\S+)", open(log_path, encoding="utf-8").read()), 10).group(1)
    return server, url


class Person:
    """Acts in the page and answers the extension's windows."""

    def __init__(self, browser):
        self.browser = browser
        self.seen = set()

    def page(self, expression, timeout=30):
        return self.browser.evaluate_page(expression, timeout)

    def click(self, element_id):
        self.page(f"document.getElementById({json.dumps(element_id)}).click(), true")

    def answer_window(self, pin=None):
        """The next window of the extension: the PIN when asked, then its
        default button once it acts."""
        def new_window():
            fresh = [w for w in self.browser.consent_windows() if w not in self.seen]
            return fresh[0] if fresh else None
        window = wait_for("no window of the extension", new_window)
        self.seen.add(window)
        common.window_state(self.browser, window, ("ready",))
        text = self.browser.evaluate_window(window, "document.body.innerText")
        if pin is not None:
            self.browser.evaluate_window(window, f"document.getElementById('pin').value = {json.dumps(pin)}")
        common.wait_armed(self.browser, window)
        self.browser.evaluate_window(window, "setTimeout(() => document.getElementById('allow').click()), true")
        return text

    def choose_file(self, path):
        b = self.browser
        handle = b.cdp.send("Runtime.evaluate", {"expression": "document.getElementById('file')"},
                            session=b.session)["result"]["objectId"]
        b.cdp.send("DOM.setFileInputFiles", {"files": [path], "objectId": handle}, session=b.session)


def openssl(*args):
    return subprocess.run(["openssl", *args], capture_output=True, text=True)


def verify(work, token, name, content, p7s, checks):
    """OpenSSL's verdict on one .p7s, printed as it answered."""
    base = ["cms", "-verify", "-binary", "-content", content, "-inform", "DER", "-in", p7s, "-out", os.devnull]
    signer = os.path.join(work, f"{name}.signer.pem")
    for label, extra in (("-noverify", ["-noverify"]), (f"-CAfile {os.path.basename(token)}/ca.pem",
                                                        ["-CAfile", os.path.join(token, "ca.pem"), "-signer", signer])):
        r = openssl(*base, *extra)
        out = (r.stdout + r.stderr).strip()
        print(f"  $ openssl cms -verify -binary -content {os.path.basename(content)} -inform DER "
              f"-in {os.path.basename(p7s)} {label}\n    {out}")
        checks.append({"name": f"{name}: OpenSSL verifies the .p7s ({label})",
                       "ok": r.returncode == 0 and "Verification successful" in out, "detail": out})
    tampered = os.path.join(work, f"{name}.tampered")
    with open(content, "rb") as f, open(tampered, "wb") as g:
        g.write(f.read() + b"!")
    r = openssl("cms", "-verify", "-binary", "-content", tampered, "-inform", "DER", "-in", p7s, "-noverify",
                "-out", os.devnull)
    checks.append({"name": f"{name}: and refuses it for a changed file", "ok": r.returncode != 0,
                   "detail": r.stdout + r.stderr})
    # OpenSSL 3.0 does not check signing-certificate-v2: compare its hash
    # with the signer's certificate here.
    printed = openssl("cms", "-cmsout", "-print", "-inform", "DER", "-in", p7s).stdout
    match = re.search(r"OCTET STRING\s+\[HEX DUMP\]:([0-9A-F]+)", printed[printed.find("signingCertificateV2"):])
    der = subprocess.run(["openssl", "x509", "-in", signer, "-outform", "DER"], capture_output=True).stdout \
        if os.path.exists(signer) else b""
    cert_hash = hashlib.sha256(der).hexdigest() if der else None
    checks.append({"name": f"{name}: its signing-certificate-v2 names the signer's certificate",
                   "ok": bool(match) and match.group(1).lower() == cert_hash,
                   "detail": f"{match and match.group(1)} vs {cert_hash}"})


def run(args, browser, person, url, checks, timings):
    with open(args.fixture) as f:
        fixture = json.load(f)
    pin = fixture["pin"]
    t0 = time.monotonic()
    browser.install(args.agent, None)
    browser.navigate(url)
    wait_for("the page did not find the agent",
             lambda: person.page("document.getElementById('list') && !document.getElementById('list').disabled"))
    agent_line = person.page("document.getElementById('agent').textContent")
    checks.append({"name": "the page found the agent", "ok": "0.1.1" in agent_line, "detail": agent_line})

    person.click("list")
    asked = person.answer_window()
    checks.append({"name": "listing asks the person to let the site in", "ok": "Permitir" in asked, "detail": asked})
    wait_for("no certificates listed", lambda: person.page("document.querySelectorAll('#certificates tbody tr').length >= 2"))
    rows = json.loads(person.page("JSON.stringify([...document.querySelectorAll('#certificates tbody tr')]"
                                  ".map((r) => ({thumbprint: r.dataset.thumbprint, text: r.innerText})))"))
    rows = {r["thumbprint"]: r["text"] for r in rows}
    person_row = rows.get(fixture["person"]["thumbprint"], "")
    company_row = rows.get(fixture["company"]["thumbprint"], "")
    bidi_row = rows.get(fixture["bidi"]["thumbprint"], "")
    checks.append({"name": "each certificate shows holder, CPF/CNPJ, issuer and validity; U+202E written out",
                   "ok": "FULANO DE TAL" in person_row and "CPF 123.456.789-09" in person_row and
                         "AC TOLVEX DEMONSTRACAO v1" in person_row and " a " in person_row and
                         "CNPJ 11.222.333/0001-81" in company_row and "[U+202E]LAT ED ONALUF" in bidi_row,
                   "detail": json.dumps(rows, ensure_ascii=False)})
    timings.append(f"listed {time.monotonic() - t0:.2f} s")

    for name, who, file_name, text in (("rsa", "person", "contrato.txt", "Contrato de prestação de serviços\n"),
                                       ("ec", "company", "procuracao.txt", "Procuração da empresa\n")):
        t1 = time.monotonic()
        content = os.path.join(args.work, file_name)
        with open(content, "w", encoding="utf-8") as f:
            f.write(text)
        thumbprint = fixture[who]["thumbprint"]
        person.page(f"document.querySelector('input[value={json.dumps(thumbprint)}]').click(), true")
        person.choose_file(content)
        wait_for("Assinar stayed disabled", lambda: person.page("!document.getElementById('sign').disabled"))
        person.page("document.getElementById('result').hidden = true")
        person.click("sign")
        asked = person.answer_window(pin)
        checks.append({"name": f"{name}: the signature is confirmed in the window, with the file's name",
                       "ok": file_name in asked and "PIN" in asked, "detail": asked})
        done = wait_for(f"{name}: no .p7s", lambda: person.page(
            "!document.getElementById('result').hidden || document.getElementById('status').classList.contains('error')"))
        status = person.page("document.getElementById('status').textContent")
        download = person.page("document.getElementById('download').download")
        p7s_b64 = person.page("fetch(document.getElementById('download').href).then((r) => r.arrayBuffer())"
                              ".then((b) => { let s = ''; for (const x of new Uint8Array(b)) s += String.fromCharCode(x);"
                              " return btoa(s); })") if done and not person.page(
            "document.getElementById('status').classList.contains('error')") else None
        checks.append({"name": f"{name}: the page offers {file_name}.p7s", "ok": bool(p7s_b64) and
                       download == f"{file_name}.p7s", "detail": f"{status} / {download}"})
        if not p7s_b64:
            continue
        p7s = os.path.join(args.work, f"{file_name}.p7s")
        with open(p7s, "wb") as f:
            f.write(base64.b64decode(p7s_b64))
        timings.append(f"{name} signed {time.monotonic() - t1:.2f} s")
        verify(args.work, args.token, name, content, p7s, checks)

    with open(os.environ["TOLVEX_AXE"], encoding="utf-8") as f:
        person.page(f.read() + ";true")
    found = person.page("axe.run(document, {resultTypes: ['violations']}).then((r) => JSON.stringify("
                        "r.violations.map((v) => ({id: v.id, impact: v.impact, nodes: v.nodes.length}))))")
    checks.append({"name": "axe-core finds nothing in the page, list and result shown", "ok": found == "[]",
                   "detail": found})

    shots = os.environ.get("TOLVEX_E2E_SHOTS")
    if shots:
        # As on a desktop screen, as tall as the page.
        metrics = {"width": 1280, "height": 800, "deviceScaleFactor": 1, "mobile": False}
        browser.cdp.send("Emulation.setDeviceMetricsOverride", metrics, session=browser.session)
        height = person.page("document.documentElement.scrollHeight")
        browser.cdp.send("Emulation.setDeviceMetricsOverride", {**metrics, "height": height}, session=browser.session)
        shot = browser.cdp.send("Page.captureScreenshot", {"format": "png"}, session=browser.session)
        with open(os.path.join(shots, "sample-page.png"), "wb") as f:
            f.write(base64.b64decode(shot["data"]))


def main():
    p = argparse.ArgumentParser()
    for name in ("work", "extension", "udd", "extension_id", "ctl", "agent", "fixture", "sample", "token"):
        p.add_argument("--" + name.replace("_", "-"), dest=name, required=True)
    args = p.parse_args()
    checks, timings = [], []
    started = time.monotonic()
    server, url = start_server(args)
    browser = Chromium(args)
    try:
        browser.start(checks)
        timings.append(f"browser and extension ready {time.monotonic() - started:.2f} s")
        run(args, browser, Person(browser), url, checks, timings)
    except Exception as e:  # reported below, after the processes are gone
        checks.append({"name": "driver", "ok": False, "detail": f"{type(e).__name__}: {e}"})
    finally:
        clean = browser.close()
        server.terminate()
        server.wait(timeout=5)
    checks.append({"name": "every process started by the test has ended", "ok": clean})
    return common.report("sample site, Chromium", checks, timings, [], started, browser.log)


if __name__ == "__main__":
    sys.exit(main())

# SPDX-License-Identifier: GPL-3.0-or-later
"""A product for the real update agent as a vendor ships it, in a test's own
folder: payloads of random bytes, a feed of their SHA-256 signed with a key
of its own by the openssl command line, the product file naming feed and key,
and, when asked, an HTTP server on 127.0.0.1 for the feed and payloads."""

import base64
import datetime
import functools
import hashlib
import http.server
import json
import os
import re
import subprocess
import threading

import contract
from harness import check

# The build-tree activation folder, handed over by CTest.
ACTIVATION_ENV = "KELVARRA_AGENT_ACTIVATION_DIR"


def activation_dir():
    folder = os.environ.get(ACTIVATION_ENV, "")
    check(os.path.isfile(os.path.join(folder, contract.SERVICE_NAME + ".service")),
          "%s=%r holds no %s.service" % (ACTIVATION_ENV, folder, contract.SERVICE_NAME))
    return folder


class Update:
    """One update whose payload the catalog writes; damaged ones get one byte
    changed after their checksum was taken."""

    def __init__(self, update_id, name, size, damaged=False,
                 failure_text="{name} could not be downloaded. {reason}", fields=None):
        self.id = update_id
        self.fields = fields or {}
        self.name = name
        self.file = update_id + ".bin"
        self.content = os.urandom(size)
        self.sha256 = hashlib.sha256(self.content).hexdigest()
        self.damaged = damaged
        self.failure_text = failure_text

    def failure(self, reason):
        return self.failure_text.replace("{name}", self.name).replace("{reason}", reason)


def openssl(*args, stdin=None):
    return subprocess.run(["openssl"] + list(args), input=stdin, capture_output=True,
                          check=True, timeout=30).stdout


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def send_head(self):
        # The rest of a file from "bytes=N-", as long as If-Range (when sent)
        # still names this file's Last-Modified; anything else gets it whole.
        wanted = re.fullmatch(r"bytes=(\d+)-", self.headers.get("Range", ""))
        path = self.translate_path(self.path)
        if not wanted or not os.path.isfile(path):
            return super().send_head()
        f = open(path, "rb")
        stat = os.fstat(f.fileno())
        start, size = int(wanted[1]), stat.st_size
        stamp = self.date_time_string(int(stat.st_mtime))
        if start >= size or self.headers.get("If-Range", stamp) != stamp:
            f.close()
            return super().send_head()
        f.seek(start)
        self.send_response(206)
        self.send_header("Content-Type", self.guess_type(path))
        self.send_header("Content-Range", "bytes %d-%d/%d" % (start, size - 1, size))
        self.send_header("Content-Length", str(size - start))
        self.send_header("Last-Modified", stamp)
        self.end_headers()
        return f

    def copyfile(self, source, outputfile):
        server = self.server
        with server.lock:
            cut = self.path == server.cut and self.path not in server.cut_at
        # Half the body, then the connection closes: the client holds that much.
        budget = os.fstat(source.fileno()).st_size // 2 if cut else None
        sent = 0
        try:
            while budget is None or sent < budget:
                chunk = source.read(65536 if budget is None else min(65536, budget - sent))
                if not chunk:
                    break
                outputfile.write(chunk)
                sent += len(chunk)
        finally:
            with server.lock:
                server.sent[self.path] = server.sent.get(self.path, 0) + sent
                if cut:
                    server.cut_at[self.path] = sent


def serve(folder, cut=None):
    """Serves folder over HTTP on a free port of 127.0.0.1 from a thread of
    this process, until shutdown(); the port is server_address[1]. Range
    requests get the rest as a 206. The first GET of the path cut (as in
    "/payloads/a.bin") ends after half the body: cut_at[path] is where, and
    sent[path] counts the body bytes sent for a path in all."""
    handler = functools.partial(_QuietHandler, directory=folder)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    server.lock = threading.Lock()
    server.cut, server.cut_at, server.sent = cut, {}, {}
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


class Catalog:
    """DIR/products/product.json, DIR/feeds/updates.json and its .sig, DIR/payloads/,
    and the install folder DIR/installed/. With over_http the feed's address
    is on a server of the test's own; payload addresses are relative to it.
    Several catalogs can share one products folder (products_dir), each
    product file then named after its folder. feed_fields replace fields of
    the feed before it is signed; tampered changes a byte after."""

    def __init__(self, folder, code, updates, over_http=False, products_dir=None,
                 name="Kelvarra Test Product", install_dir=None, feed_fields=None,
                 tampered=False):
        self.folder = folder
        self.code = code
        self.name = name
        self.updates = updates
        self.products_dir = products_dir or os.path.join(folder, "products")
        self.install_dir = install_dir or os.path.join(folder, "installed")
        self.state_file = os.path.join(folder, "state", "installed.json")
        for sub in ("products", "feeds", "payloads", "installed", "state"):
            os.makedirs(os.path.join(folder, sub), exist_ok=True)
        os.makedirs(self.products_dir, exist_ok=True)
        self.server = None
        self.feed_path = os.path.join(folder, "feeds", "updates.json")
        feed_url = os.path.relpath(self.feed_path, self.products_dir)
        if over_http:
            self.server = serve(folder)
            feed_url = "http://127.0.0.1:%d/feeds/updates.json" % self.server.server_address[1]

        key = os.path.join(folder, "vendor-key.pem")
        openssl("genpkey", "-algorithm", "ed25519", "-out", key)
        public = openssl("pkey", "-in", key, "-pubout", "-outform", "DER")[-32:]
        expires = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=1)
        fields = {"product": code, "serial": 1,
                  "expires": expires.strftime("%Y-%m-%dT%H:%M:%SZ"),
                  "updates": [self._write_payload(u) for u in updates]}
        fields.update(feed_fields or {})
        feed = json.dumps(fields, indent=2)
        with open(self.feed_path, "w", encoding="utf-8") as f:
            f.write(feed)
        signature = openssl("pkeyutl", "-sign", "-rawin", "-inkey", key, "-in", self.feed_path)
        with open(self.feed_path + ".sig", "wb") as f:
            f.write(base64.b64encode(signature))
        if tampered:
            with open(self.feed_path, "w", encoding="utf-8") as f:
                f.write(feed.replace('"serial": 1', '"serial": 2'))
        file_name = "product.json" if products_dir is None else os.path.basename(folder) + ".json"
        self.product_file = os.path.join(self.products_dir, file_name)
        with open(self.product_file, "w", encoding="utf-8") as f:
            json.dump({"code": code, "name": name,
                       "installDir": os.path.relpath(self.install_dir, self.products_dir),
                       "feed": feed_url, "keys": [base64.b64encode(public).decode("ascii")]},
                      f, indent=2)

    def _write_payload(self, update):
        content = update.content
        if update.damaged:
            middle = len(content) // 2
            content = content[:middle] + bytes([content[middle] ^ 0xFF]) + content[middle + 1:]
        with open(os.path.join(self.folder, "payloads", update.file), "wb") as f:
            f.write(content)
        return {"id": update.id, "name": update.name, "version": "1.0",
                "size": len(content), "sha256": update.sha256,
                "url": "../payloads/" + update.file, "failureText": update.failure_text,
                **update.fields}

    def agent_args(self, rate_limit_kbps):
        return ["--products", self.products_dir, "--state-file", self.state_file,
                "--rate-limit", str(rate_limit_kbps)]

    def installed_files(self):
        """Every name in the install folder, hidden partial files included."""
        return sorted(os.listdir(self.install_dir)) if os.path.isdir(self.install_dir) else []

    def visible_files(self):
        """The install folder without the agent's hidden partial downloads."""
        return [name for name in self.installed_files() if not name.startswith(".")]

    def installed_content(self, update):
        with open(os.path.join(self.install_dir, update.file), "rb") as f:
            return f.read()

    def recorded(self):
        """The agent's record of installed versions, by update id."""
        try:
            with open(self.state_file, encoding="utf-8") as f:
                return json.load(f).get(self.code.upper(), {})
        except FileNotFoundError:
            return {}

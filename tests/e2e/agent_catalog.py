"""A catalog for the real update agent, written into a test's own folder:
payload files of random bytes, their SHA-256, and one product file."""

import hashlib
import json
import os

import harness
from harness import check

# The build-tree activation folder, handed over by CTest.
ACTIVATION_ENV = "KELVARRA_AGENT_ACTIVATION_DIR"


def activation_dir():
    folder = os.environ.get(ACTIVATION_ENV, "")
    check(os.path.isfile(os.path.join(folder, harness.SERVICE_NAME + ".service")),
          "%s=%r holds no %s.service" % (ACTIVATION_ENV, folder, harness.SERVICE_NAME))
    return folder


class Update:
    """One update whose payload the catalog writes; damaged ones get one byte
    changed after their checksum was taken."""

    def __init__(self, update_id, name, size, damaged=False,
                 failure_text="{name} could not be downloaded. {reason}"):
        self.id = update_id
        self.name = name
        self.file = update_id + ".bin"
        self.content = os.urandom(size)
        self.sha256 = hashlib.sha256(self.content).hexdigest()
        self.damaged = damaged
        self.failure_text = failure_text

    def failure(self, reason):
        return self.failure_text.replace("{name}", self.name).replace("{reason}", reason)


class Catalog:
    """DIR/catalog/product.json, DIR/payloads/, and the install folder DIR/installed/."""

    def __init__(self, folder, code, updates):
        self.folder = folder
        self.code = code
        self.updates = updates
        self.catalog_dir = os.path.join(folder, "catalog")
        self.install_dir = os.path.join(folder, "installed")
        self.state_file = os.path.join(folder, "state", "installed.json")
        for sub in ("catalog", "payloads", "installed", "state"):
            os.makedirs(os.path.join(folder, sub), exist_ok=True)
        entries = [self._write_payload(u) for u in updates]
        with open(os.path.join(self.catalog_dir, "product.json"), "w", encoding="utf-8") as f:
            json.dump({"code": code, "name": "Kelvarra Test Product",
                       "installDir": "../installed", "updates": entries}, f, indent=2)

    def _write_payload(self, update):
        content = update.content
        if update.damaged:
            middle = len(content) // 2
            content = content[:middle] + bytes([content[middle] ^ 0xFF]) + content[middle + 1:]
        with open(os.path.join(self.folder, "payloads", update.file), "wb") as f:
            f.write(content)
        return {"id": update.id, "name": update.name, "version": "1.0",
                "size": len(content), "sha256": update.sha256,
                "url": "../payloads/" + update.file, "failureText": update.failure_text}

    def agent_args(self, rate_limit_kbps):
        return ["--catalog", self.catalog_dir, "--state-file", self.state_file,
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

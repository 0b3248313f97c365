"""What the protocol tests of qxl-lsp share: a started and initialized
server in a directory of its own, and the shapes of positions and URIs.

Set `SERVER` to the server's path before making a Session.
"""
import os
import shutil
import tempfile

from lspclient import Client

SERVER = None

NOT_INITIALIZED = -32002
METHOD_NOT_FOUND = -32601
INVALID_PARAMS = -32602
REQUEST_CANCELLED = -32800
ERROR, WARNING, INFORMATION = 1, 2, 3


def uri_of(path):
    return "file://" + os.path.abspath(path)


def position(line, character):
    return {"line": line, "character": character}


class Session:
    """A started and initialized server, working in its own directory."""

    def __init__(self, test, options=None, env=None):
        self.dir = tempfile.mkdtemp(prefix="qxl-lsp-test-")
        test.addCleanup(shutil.rmtree, self.dir, True)
        server_env = dict(os.environ)
        server_env.pop("QXL", None)
        server_env.update(env or {})
        self.client = Client(SERVER, cwd=self.dir, env=server_env)
        test.addCleanup(self.stop)
        params = {"processId": None, "rootUri": uri_of(self.dir),
                  "capabilities": {}}
        if options is not None:
            params["initializationOptions"] = {"qxl": {"options": options}}
        self.init = self.client.request("initialize", params)
        self.client.notify("initialized", {})
        self.versions = {}

    def stop(self):
        if self.client.proc.poll() is None:
            self.client.proc.kill()
        self.client.close()

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w") as out:
            out.write(text)
        return path

    def open(self, path, text=None):
        if text is None:
            with open(path) as source:
                text = source.read()
        self.versions[path] = 1
        self.client.notify("textDocument/didOpen", {"textDocument": {
            "uri": uri_of(path), "languageId": "qxl", "version": 1,
            "text": text}})

    def change(self, path, changes):
        self.versions[path] += 1
        self.client.notify("textDocument/didChange", {
            "textDocument": {"uri": uri_of(path),
                             "version": self.versions[path]},
            "contentChanges": changes})

    def diagnostics(self, path):
        """The next diagnostics published for `path`."""
        while True:
            note = self.client.wait_notification(
                "textDocument/publishDiagnostics")
            if note["params"]["uri"] == uri_of(path):
                return note["params"]

    def finish(self):
        self.client.request("shutdown")
        self.client.notify("exit")
        return self.client.proc.wait(10)

"""A small language-server client for the tests: starts qxl-lsp, sends
framed JSON-RPC messages and reads the replies and notifications."""
import json
import os
import subprocess
import threading
import queue


class Client:
    def __init__(self, server, cwd=None, env=None):
        self.proc = subprocess.Popen([server], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, cwd=cwd,
                                     env=env)
        self.messages = queue.Queue()
        self.pending = []
        self.next_id = 1
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        # What the server writes on its standard error, line by line (read
        # all along, so that a talkative server never blocks on the pipe).
        self.log = []
        self.log_reader = threading.Thread(target=self._read_log, daemon=True)
        self.log_reader.start()

    def _read_log(self):
        for line in self.proc.stderr:
            self.log.append(line.decode(errors="replace").rstrip("\n"))

    def _read(self):
        out = self.proc.stdout
        while True:
            headers = {}
            while True:
                line = out.readline()
                if not line:
                    self.messages.put(None)
                    return
                line = line.strip()
                if not line:
                    break
                name, _, value = line.decode().partition(":")
                headers[name.strip().lower()] = value.strip()
            body = out.read(int(headers["content-length"]))
            self.messages.put(json.loads(body))

    def send_raw(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def send(self, message):
        body = json.dumps(message).encode()
        self.send_raw(b"Content-Length: %d\r\n\r\n" % len(body) + body)

    def notify(self, method, params=None):
        self.send({"jsonrpc": "2.0", "method": method, "params": params})

    def request(self, method, params=None, timeout=20):
        """Sends a request and returns its response; notifications that
        arrive meanwhile are kept for wait_notification."""
        rid = self.next_id
        self.next_id += 1
        self.send({"jsonrpc": "2.0", "id": rid, "method": method,
                   "params": params})
        return self.wait(lambda m: m.get("id") == rid and "method" not in m,
                         timeout)

    def wait(self, match, timeout=20):
        for i, m in enumerate(self.pending):
            if match(m):
                return self.pending.pop(i)
        kept = []
        try:
            while True:
                m = self.messages.get(timeout=timeout)
                if m is None:
                    raise EOFError("server closed its output")
                if match(m):
                    return m
                kept.append(m)
        finally:
            for m in kept:
                self.pending.append(m)

    def wait_notification(self, method, timeout=20):
        for i, m in enumerate(self.pending):
            if m.get("method") == method:
                return self.pending.pop(i)
        return self.wait(lambda m: m.get("method") == method, timeout)

    def close(self, timeout=10):
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        status = self.proc.wait(timeout)
        self.reader.join(timeout)
        self.proc.stdout.close()
        self.proc.stderr.close()
        return status

"""Bad input for qxl-lsp: broken framing, bad JSON, wrong shapes, unknown
methods, wrong parameters, requests before initialize, positions outside
the document, a document of more than 100 MB, NUL bytes and invalid UTF-8.
Each case runs a server of its own and expects an error reply or a logged
message, and the server still answering afterwards: never a crash, a hang
or unbounded memory.

    python3 test_robustness.py QXL_LSP
"""
import json
import os
import queue
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from lspclient import Client  # noqa: E402

PARSE_ERROR = -32700
INVALID_REQUEST = -32600
METHOD_NOT_FOUND = -32601
INVALID_PARAMS = -32602
SERVER_NOT_INITIALIZED = -32002

# Seconds to wait for an answer, and for the big document.
TIMEOUT = 30
BIG_TIMEOUT = 180
# Peak memory allowed while a document of BIG_SIZE bytes is open.
BIG_SIZE = 110 * 1000 * 1000
BIG_MEMORY = 3 * 1024 * 1024 * 1024

SERVER = None
WORK = None
# The servers the current case started.
STARTED = []


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def frame(body):
    if isinstance(body, str):
        body = body.encode()
    return b"Content-Length: %d\r\n\r\n" % len(body) + body


def start(initialize=True):
    c = Client(SERVER, cwd=WORK)
    STARTED.append(c)
    if initialize:
        reply = c.request("initialize", {"processId": None, "rootUri": None,
                                         "capabilities": {}}, TIMEOUT)
        check("result" in reply and "capabilities" in reply["result"],
              "initialize answered %r" % reply)
        c.notify("initialized", {})
    return c


def error_reply(c, rid=None, timeout=TIMEOUT):
    """The next error reply (with the given id, or any id when None)."""
    return c.wait(lambda m: "error" in m and "method" not in m
                  and (rid is None or m.get("id") == rid), timeout)


def expect_error(c, code, rid=None, timeout=TIMEOUT):
    reply = error_reply(c, rid, timeout)
    check(reply["error"].get("code") == code,
          "expected error %d, got %r" % (code, reply))
    check(isinstance(reply["error"].get("message"), str),
          "error without a message: %r" % reply)
    return reply


def probe(c, timeout=TIMEOUT):
    """The server still reads and answers: an unknown request gets
    'method not found' with its own id."""
    rid = "probe-%d" % c.next_id
    c.next_id += 1
    c.send({"jsonrpc": "2.0", "id": rid, "method": "qxl/noSuchMethod"})
    expect_error(c, METHOD_NOT_FOUND, rid, timeout)


def logged(c):
    """Whether the server reported something: a log or show notification,
    or a line on its standard error."""
    deadline = time.time() + 2
    while time.time() < deadline:
        if c.log or any(m.get("method") in ("window/logMessage",
                                             "window/showMessage")
                        for m in c.pending):
            return True
        time.sleep(0.05)
    return False


def reported(c):
    return logged(c) or any("error" in m and "method" not in m
                            for m in c.pending)


def finish(c, timeout=TIMEOUT):
    """shutdown and exit: status 0 and no crash on the way."""
    reply = c.request("shutdown", None, timeout)
    check("result" in reply and reply["result"] is None,
          "shutdown answered %r" % reply)
    c.notify("exit")
    status = c.proc.wait(timeout)
    check(status == 0, "exit after shutdown gave status %d" % status)


def expect_end(c, timeout=TIMEOUT):
    """Input closed without shutdown: the server ends by itself, by a plain
    exit with status 1 (not by a signal, not by hanging)."""
    try:
        c.proc.stdin.close()
    except BrokenPipeError:
        pass
    status = c.proc.wait(timeout)
    check(status == 1, "end of input gave status %d" % status)


def peak_memory(c):
    with open("/proc/%d/status" % c.proc.pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def uri(name):
    return "file://" + os.path.join(WORK, name).replace(" ", "%20")


def open_document(c, name, text, version=1):
    c.notify("textDocument/didOpen", {"textDocument": {
        "uri": uri(name), "languageId": "qxl", "version": version,
        "text": text}})


def position_params(name, line, character):
    return {"textDocument": {"uri": uri(name)},
            "position": {"line": line, "character": character}}


# ---------------------------------------------------------------- framing

def case_missing_content_length():
    c = start()
    c.send_raw(b"Content-Type: application/vscode-jsonrpc; charset=utf-8\r\n\r\n"
               b'{"jsonrpc":"2.0","id":50,"method":"shutdown"}')
    probe(c)
    check(reported(c), "a header without Content-Length went unreported")
    finish(c)


def case_bad_content_length_values():
    for value in (b"abc", b"-1", b"12x", b"", b"1e3"):
        c = start()
        c.send_raw(b"Content-Length: " + value + b"\r\n\r\n{}")
        probe(c)
        check(reported(c), "Content-Length %r went unreported" % value)
        finish(c)


def case_content_length_too_small():
    c = start()
    body = b'{"jsonrpc":"2.0","id":51,"method":"qxl/noSuchMethod"}'
    c.send_raw(b"Content-Length: 10\r\n\r\n" + body)
    # The first ten bytes are not JSON; the rest is junk before the next
    # header.
    expect_error(c, PARSE_ERROR)
    probe(c)
    finish(c)


def case_content_length_too_large():
    c = start()
    body = b'{"jsonrpc":"2.0","id":52,"method":"qxl/noSuchMethod"}'
    length = 400
    c.send_raw(b"Content-Length: %d\r\n\r\n" % length + body)
    # Nothing can come back until the announced bytes are there.
    time.sleep(0.3)
    check(not any(m.get("id") == 52 for m in c.pending),
          "a body was taken before its announced end")
    c.send_raw(b"x" * (length - len(body)))
    reply = expect_error(c, PARSE_ERROR)
    check(reply.get("id") is None, "a parse error's id must be null")
    probe(c)
    finish(c)


def case_length_beyond_any_message():
    # A body that large is refused without reading it into memory; the
    # server keeps going (it can only wait for the announced bytes) and
    # ends when the input does.
    c = start()
    c.send_raw(b"Content-Length: 1099511627776\r\n\r\n")
    c.send_raw(b"y" * (8 << 20))
    time.sleep(0.5)
    check(c.proc.poll() is None, "the server ended on a huge Content-Length")
    check(peak_memory(c) < 512 << 20, "a refused body was kept in memory")
    check(logged(c), "a refused message went unreported")
    expect_end(c)


def case_header_without_blank_line():
    for tail in (b"", b"\r\n"):
        c = start()
        body = b'{"jsonrpc":"2.0","id":53,"method":"shutdown"}'
        c.send_raw(b"Content-Length: %d\r\n" % len(body) + body + tail)
        probe(c)
        check(reported(c), "a header without its blank line went unreported")
        finish(c)


def case_garbage_between_messages():
    c = start()
    c.send_raw(b"\x00\xff garbage {}\r\n" + b"z" * 100000)
    probe(c)
    check(reported(c), "garbage went unreported")
    finish(c)


def case_end_of_input_inside_a_message():
    for cut in (b"Content-Len", b"Content-Length: 100\r\n",
                b'Content-Length: 100\r\n\r\n{"jsonrpc":'):
        c = start()
        c.send_raw(cut)
        expect_end(c)


def case_messages_in_pieces():
    # Several messages in one write, then one message a byte at a time.
    c = start()
    c.send_raw(frame('{"jsonrpc":"2.0","id":60,"method":"qxl/a"}') +
               frame('{"jsonrpc":"2.0","id":61,"method":"qxl/b"}'))
    expect_error(c, METHOD_NOT_FOUND, 60)
    expect_error(c, METHOD_NOT_FOUND, 61)
    for byte in frame('{"jsonrpc":"2.0","id":62,"method":"qxl/c"}'):
        c.send_raw(bytes([byte]))
    expect_error(c, METHOD_NOT_FOUND, 62)
    finish(c)


# ---------------------------------------------------------------- JSON-RPC

def case_invalid_json():
    for body in (b"{", b"", b"not json", b'{"jsonrpc":"2.0","id":1,}',
                 b'{"jsonrpc":"2.0","method":"x\xff\xfe"}',
                 b"[" * 100000):
        c = start()
        c.send_raw(frame(body))
        reply = expect_error(c, PARSE_ERROR)
        check(reply.get("id") is None, "a parse error's id must be null")
        probe(c)
        finish(c)


def case_wrong_shape():
    cases = [
        (b"42", None),
        (b'"text"', None),
        (b"[]", None),
        (b'[{"jsonrpc":"2.0","id":70,"method":"shutdown"}]', None),
        (b'{"id":71,"method":"shutdown"}', 71),
        (b'{"jsonrpc":"1.0","id":72,"method":"shutdown"}', 72),
        (b'{"jsonrpc":"2.0","id":73,"method":17}', 73),
        (b'{"jsonrpc":"2.0","id":{"x":1},"method":"shutdown"}', None),
        (b'{"jsonrpc":"2.0","id":74,"method":"shutdown","params":"p"}', 74),
    ]
    c = start()
    for body, rid in cases:
        c.send_raw(frame(body))
        reply = expect_error(c, INVALID_REQUEST)
        check(reply.get("id") == rid,
              "%r: reply id %r, expected %r" % (body, reply.get("id"), rid))
    probe(c)
    finish(c)


def case_unknown_methods():
    c = start()
    c.notify("qxl/noSuchNotification", {"a": 1})
    c.notify("$/noSuchNotification")
    c.notify("$/cancelRequest", {"id": 999})
    probe(c)
    check(not any("error" in m for m in c.pending),
          "an unknown notification got a reply: %r" % c.pending)
    c.send({"jsonrpc": "2.0", "id": 80, "method": "$/noSuchRequest"})
    expect_error(c, METHOD_NOT_FOUND, 80)
    finish(c)


def case_wrong_params():
    c = start()
    open_document(c, "a.q", "int x;\n")
    for rid, method, params in (
            (90, "textDocument/hover", {"textDocument": 5}),
            (91, "textDocument/hover", {"textDocument": {"uri": uri("a.q")}}),
            (92, "textDocument/hover", {"textDocument": {"uri": uri("a.q")},
                                        "position": {"line": "0"}}),
            (93, "textDocument/definition", [1, 2]),
            (94, "textDocument/completion", None),
            (95, "initialize", "not an object")):
        c.send({"jsonrpc": "2.0", "id": rid, "method": method,
                "params": params})
        reply = error_reply(c, rid)
        # A second initialize may be refused as such instead.
        codes = (INVALID_PARAMS, INVALID_REQUEST) if method == "initialize" \
            else (INVALID_PARAMS,)
        check(reply["error"]["code"] in codes,
              "%s %r answered %r" % (method, params, reply))
    # Notifications with wrong parameters cannot be answered; they are
    # logged and change nothing.
    c.notify("textDocument/didOpen", {"textDocument": {"uri": 7}})
    c.notify("textDocument/didChange", {"contentChanges": "x"})
    probe(c)
    finish(c)


def case_requests_before_initialize():
    c = start(initialize=False)
    c.send({"jsonrpc": "2.0", "id": 100, "method": "textDocument/hover",
            "params": position_params("a.q", 0, 0)})
    expect_error(c, SERVER_NOT_INITIALIZED, 100)
    c.send({"jsonrpc": "2.0", "id": 101, "method": "shutdown"})
    expect_error(c, SERVER_NOT_INITIALIZED, 101)
    c.notify("textDocument/didOpen", {"textDocument": {
        "uri": uri("a.q"), "languageId": "qxl", "version": 1,
        "text": "int x;\n"}})
    reply = c.request("initialize", {"processId": None, "rootUri": None,
                                     "capabilities": {}}, TIMEOUT)
    check("result" in reply, "initialize after refused requests: %r" % reply)
    c.notify("initialized", {})
    finish(c)


def case_exit_without_shutdown():
    c = start()
    c.notify("exit")
    status = c.proc.wait(TIMEOUT)
    check(status == 1, "exit without shutdown gave status %d" % status)


# ---------------------------------------------------------------- documents

def answered(c, method, params):
    """A request gets a reply (a result or an error), whatever it is."""
    reply = c.request(method, params, TIMEOUT)
    check("result" in reply or "error" in reply, "%s: %r" % (method, reply))
    return reply


def case_positions_outside_the_document():
    c = start()
    open_document(c, "a.q", "int x;\nint y = x;\n")
    for line, character in ((0, 1000000), (1000, 0), (1000000000, 5),
                            (2, 0), (1, 2147483647)):
        for method in ("textDocument/hover", "textDocument/definition",
                       "textDocument/completion",
                       "textDocument/signatureHelp"):
            answered(c, method, position_params("a.q", line, character))
    # A negative position is not a position.
    reply = answered(c, "textDocument/hover", position_params("a.q", -1, -1))
    check("result" in reply or reply["error"]["code"] == INVALID_PARAMS,
          "negative position answered %r" % reply)
    # Edits past the end are clamped to it; the document stays usable.
    c.notify("textDocument/didChange", {
        "textDocument": {"uri": uri("a.q"), "version": 2},
        "contentChanges": [{"range": {"start": {"line": 50, "character": 3},
                                      "end": {"line": 90, "character": 0}},
                            "text": "int z;\n"}]})
    answered(c, "textDocument/hover", position_params("a.q", 2, 4))
    # A position in a document that is not open.
    answered(c, "textDocument/hover", position_params("closed.q", 0, 0))
    finish(c)


def case_nul_bytes_and_odd_text():
    c = start()
    texts = {
        "nul.q": "int a;\0int b;\n\0\0\nchar *s = \"x\0y\";\n",
        "latin1.q": "char *s = \"caf\u00e9 \u4e2d \U0001F600\";\n",
        "bom.q": "\ufeffchar *s = \"\u4e2d\U0001F600\0\";\nint x;\n",
        "lines.q": "int a;\rint b;\r\nint c;\n\n\r",
    }
    for name, text in texts.items():
        open_document(c, name, text)
        for line in range(4):
            for character in (0, 3, 11, 14, 15, 40):
                answered(c, "textDocument/hover",
                         position_params(name, line, character))
        answered(c, "textDocument/completion",
                 position_params(name, 0, 12))
        answered(c, "textDocument/documentSymbol",
                 {"textDocument": {"uri": uri(name)}})
    probe(c)
    finish(c)


def case_invalid_utf8():
    # On the wire, JSON must be UTF-8: raw bytes that are not are a parse
    # error.  From disk, an include file with a byte-order mark may hold
    # any bytes; the analysis must take them.
    c = start()
    c.send_raw(frame(b'{"jsonrpc":"2.0","method":"textDocument/didOpen",'
                     b'"params":{"textDocument":{"uri":"' +
                     uri("raw.q").encode() + b'","languageId":"qxl",'
                     b'"version":1,"text":"char *s = \\"\xc3\x28\xff\\";"}}}'))
    expect_error(c, PARSE_ERROR)
    with open(os.path.join(WORK, "bad.h"), "wb") as f:
        f.write(b"\xef\xbb\xbf// \xc3\x28 \xed\xa0\x80 \xff\xfe \x00\n"
                b"char *t = \"\xf0\x28\x8c\xbc \x80\";\nint \xc0\xaf;\n")
    open_document(c, "inc.q", '#include "bad.h"\nint x;\n')
    for line, character in ((0, 0), (0, 10), (1, 4), (5, 5)):
        answered(c, "textDocument/hover", position_params("inc.q", line,
                                                          character))
    answered(c, "textDocument/definition", position_params("inc.q", 1, 4))
    probe(c)
    finish(c)


def case_big_document():
    # More than 100 MB in one message: taken, analysed or refused with a
    # message, and the server answers afterwards, within bounded memory.
    line = "// " + "x" * 95 + "\n"
    text = "int first;\n" + line * (BIG_SIZE // len(line)) + "int last;\n"
    lines = text.count("\n")
    c = start()
    open_document(c, "big.q", text)
    del text
    probe(c, BIG_TIMEOUT)
    answered(c, "textDocument/hover", position_params("big.q", 0, 5))
    answered(c, "textDocument/hover", position_params("big.q", lines - 1, 5))
    c.notify("textDocument/didChange", {
        "textDocument": {"uri": uri("big.q"), "version": 2},
        "contentChanges": [{"range": {"start": {"line": 1, "character": 0},
                                      "end": {"line": 1, "character": 2}},
                            "text": "/*"},
                           {"range": {"start": {"line": lines - 2,
                                                "character": 0},
                                      "end": {"line": lines - 2,
                                              "character": 0}},
                            "text": "*/"}]})
    probe(c, BIG_TIMEOUT)
    check(peak_memory(c) < BIG_MEMORY,
          "peak memory %d MB for a %d MB document"
          % (peak_memory(c) >> 20, BIG_SIZE // 1000000))
    finish(c, BIG_TIMEOUT)


CASES = [(name[len("case_"):], f) for name, f in list(globals().items())
         if name.startswith("case_")]


def main():
    global SERVER, WORK
    if len(sys.argv) < 2:
        sys.exit("usage: test_robustness.py QXL_LSP [CASE...]")
    SERVER = os.path.abspath(sys.argv[1])
    only = sys.argv[2:]
    passed = failed = 0
    with tempfile.TemporaryDirectory(prefix="qxl lsp ") as work:
        WORK = work
        for name, case in CASES:
            if only and name not in only:
                continue
            began = time.time()
            try:
                case()
                passed += 1
                print("ok   %s (%.1fs)" % (name, time.time() - began))
            except Exception as e:  # a failed check, a timeout, a crash
                failed += 1
                kind = "timeout" if isinstance(e, queue.Empty) else \
                    type(e).__name__
                print("FAIL %s: %s %s" % (name, kind, e))
            finally:
                # A server that died by a signal crashed, whatever the case
                # checked; one still running is ended here.
                for c in STARTED:
                    if c.proc.poll() is None:
                        c.proc.kill()
                        c.proc.wait()
                    elif c.proc.returncode < 0:
                        print("     %s: a server died by signal %d; its "
                              "last messages: %s" % (name, -c.proc.returncode,
                                                     c.log[-5:]))
                STARTED.clear()
    print("%d passed, %d failed" % (passed, failed))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()

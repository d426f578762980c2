#!/usr/bin/python3
"""A loopback stand-in for the Anthropic Messages API, for running the real
Claude Code against scripted replies.

Prints "messages stand-in listening on 127.0.0.1:PORT" as its first line, then
serves until killed. Every request is appended to the --log file as one JSON
line (method, path, a few headers, the body).

The reply to POST /v1/messages is chosen by the last prompt the user wrote in
the request (tool results and Claude Code's own reminders aside):

  contains "SLOW"       the slow reply: SLOW_WORDS streamed one word every
                        --slow-step seconds, for interrupting mid-stream
  contains "READ FILE"  READ_PREAMBLE and a Read tool call on notes.txt in the
                        working folder; once its result is back, READ_REPLY
  contains "RUN TOUCH"  BASH_PREAMBLE and a Bash tool call "touch
                        made-by-claude.txt" (which needs a permission); once
                        its result is back, BASH_REPLY, or BASH_DENIED_REPLY
                        when the result is an error
  contains "THINK"      a thinking block, then THINK_REPLY in two text blocks of
                        the same message
  contains "GREET NAME" GREET_REPLY with NAME (what the custom command expands to)
  anything else         PLAIN_REPLY

Requests outside the conversation get SIDE_REPLY: as the value of every string
of the JSON schema when one is asked for (the session title), else as text
(no tools offered: summaries, quota checks). Both streaming and non-streaming
requests are answered. Any other path gets an empty JSON object. Each streamed answer adds a line
{"stream": "complete"} or {"stream": "cut"} (the client stopped listening) to
the log when it ends, and the slow reply {"stream": "words", "words": N} after
each word it sent.
"""

import argparse
import itertools
import json
import re
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PLAIN_REPLY = "Plain reply from the stand-in: the build is green."
READ_PREAMBLE = "I will read the notes."
READ_REPLY = "The notes file says the answer is forty-two."
BASH_PREAMBLE = "I will create the file with touch."
BASH_REPLY = "Created made-by-claude.txt with touch."
BASH_DENIED_REPLY = "The touch command was not allowed."
THINK_REPLY = ("First part of the considered answer.", "Second part of the considered answer.")
GREET_REPLY = "Greetings, {name}, from the custom command."
SIDE_REPLY = "Stand-in session"
SLOW_WORDS = ("Slow reply word one, word two, word three, word four, word five, word six, "
              "word seven, word eight, word nine, word ten, word eleven, word twelve.").split(" ")

_ids = itertools.count(1)
_log_lock = threading.Lock()


def next_id(prefix):
    return "%s_standin%06d" % (prefix, next(_ids))


def block_texts(content):
    """The text of a message's content, string or blocks."""
    if isinstance(content, str):
        return [content]
    texts = []
    for block in content or []:
        if isinstance(block, dict) and block.get("type") == "text":
            texts.append(block.get("text", ""))
    return texts


def last_prompt(messages):
    """The text of the last user message that is a prompt, not only tool results.
    Claude Code wraps reminders in <system-reminder>: those parts are skipped."""
    for message in reversed(messages):
        if message.get("role") != "user":
            continue
        texts = [t for t in block_texts(message.get("content")) if not t.lstrip().startswith("<system-reminder>")]
        if texts:
            return "\n".join(texts)
    return ""


def pending_tool_result(messages):
    """The tool_result block of the last message when it answers a tool call."""
    if not messages or messages[-1].get("role") != "user":
        return None
    content = messages[-1].get("content")
    if not isinstance(content, list):
        return None
    for block in content:
        if isinstance(block, dict) and block.get("type") == "tool_result":
            return block
    return None


def result_text(result):
    content = result.get("content")
    if isinstance(content, str):
        return content
    return "\n".join(block_texts(content))


def plan(body, cwd):
    """What to answer: a list of content blocks and the stop reason.
    A text block is {"type": "text", "words": [...], "step": seconds}."""
    messages = body.get("messages") or []
    schema = structured_output_schema(body)
    if schema is not None:
        return [text_block(json.dumps(filled(schema)))], "end_turn"
    if not body.get("tools"):
        return [text_block(SIDE_REPLY)], "end_turn"
    prompt = last_prompt(messages)
    result = pending_tool_result(messages)
    if result is not None:
        if "READ FILE" in prompt:
            return [text_block(READ_REPLY)], "end_turn"
        if "RUN TOUCH" in prompt:
            return [text_block(BASH_DENIED_REPLY if result.get("is_error") else BASH_REPLY)], "end_turn"
        return [text_block(PLAIN_REPLY)], "end_turn"
    if "THINK" in prompt:
        return [{"type": "thinking", "thinking": "Weighing the question."}] + \
            [text_block(part) for part in THINK_REPLY], "end_turn"
    if "SLOW" in prompt:
        return [{"type": "text", "words": SLOW_WORDS, "step": ARGS.slow_step}], "end_turn"
    if "READ FILE" in prompt:
        return [text_block(READ_PREAMBLE),
                tool_block("Read", {"file_path": cwd + "/notes.txt"})], "tool_use"
    if "RUN TOUCH" in prompt:
        return [text_block(BASH_PREAMBLE),
                tool_block("Bash", {"command": "touch made-by-claude.txt",
                                    "description": "Create made-by-claude.txt"})], "tool_use"
    greeted = re.search(r"GREET (\w+)", prompt)
    if greeted:
        return [text_block(GREET_REPLY.format(name=greeted.group(1)))], "end_turn"
    return [text_block(PLAIN_REPLY)], "end_turn"


def structured_output_schema(body):
    """The JSON schema the answer must follow, when the request asks for one."""
    output = body.get("output_config") or {}
    form = output.get("format") or body.get("output_format") or {}
    return form.get("schema") if form.get("type") == "json_schema" else None


def filled(schema):
    """A value of the JSON schema: SIDE_REPLY for its strings."""
    kind = schema.get("type")
    if kind == "object":
        return {name: filled(sub) for name, sub in (schema.get("properties") or {}).items()}
    if kind == "array":
        return []
    if kind in ("integer", "number"):
        return 0
    if kind == "boolean":
        return False
    if "enum" in schema:
        return schema["enum"][0]
    return SIDE_REPLY


def text_block(text):
    return {"type": "text", "words": [text], "step": 0}


def tool_block(name, tool_input):
    return {"type": "tool_use", "id": next_id("toolu"), "name": name, "input": tool_input}


def working_folder(body):
    """--cwd, else the working folder Claude Code names in its prompts."""
    if ARGS.cwd:
        return ARGS.cwd
    # Searched in the JSON text, where a line break reads as a backslash and "n".
    found = re.search(r'Primary working directory: *([^\s\\"]+)', json.dumps(body))
    return found.group(1) if found else "."


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def record(self, body):
        write_log({
            "time": time.time(),
            "method": self.command,
            "path": self.path,
            "headers": {k: v for k, v in self.headers.items()
                        if k.lower() in ("anthropic-beta", "user-agent", "x-app")},
            "body": body,
        })

    def read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length) if length else b""
        try:
            return json.loads(raw) if raw else None
        except ValueError:
            return raw.decode("utf-8", "replace")

    def send_json(self, status, value):
        data = json.dumps(value).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        self.record(None)
        self.send_json(200, {})

    def do_HEAD(self):
        self.record(None)
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def do_POST(self):
        body = self.read_body()
        self.record(body)
        path = self.path.split("?", 1)[0]
        if path == "/v1/messages/count_tokens":
            self.send_json(200, {"input_tokens": 100})
        elif path == "/v1/messages" and isinstance(body, dict):
            blocks, stop = plan(body, working_folder(body))
            if body.get("stream"):
                self.stream(body, blocks, stop)
            else:
                self.send_json(200, whole_message(body, blocks, stop))
        else:
            self.send_json(200, {})

    def stream(self, body, blocks, stop):
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-cache")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        try:
            self.event("message_start", {"type": "message_start", "message": {
                "id": next_id("msg"), "type": "message", "role": "assistant", "model": body.get("model", "stand-in"),
                "content": [], "stop_reason": None, "stop_sequence": None,
                "usage": {"input_tokens": 100, "output_tokens": 1}}})
            for index, block in enumerate(blocks):
                if block["type"] == "thinking":
                    self.event("content_block_start", {"type": "content_block_start", "index": index,
                                                       "content_block": {"type": "thinking", "thinking": "",
                                                                         "signature": ""}})
                    self.event("content_block_delta", {"type": "content_block_delta", "index": index,
                                                       "delta": {"type": "thinking_delta",
                                                                 "thinking": block["thinking"]}})
                    self.event("content_block_delta", {"type": "content_block_delta", "index": index,
                                                       "delta": {"type": "signature_delta",
                                                                 "signature": "c3RhbmQtaW4="}})
                elif block["type"] == "text":
                    self.event("content_block_start", {"type": "content_block_start", "index": index,
                                                       "content_block": {"type": "text", "text": ""}})
                    for n, word in enumerate(block["words"]):
                        if n > 0 and block["step"]:
                            time.sleep(block["step"])
                        piece = word if n == 0 else " " + word
                        self.event("content_block_delta", {"type": "content_block_delta", "index": index,
                                                           "delta": {"type": "text_delta", "text": piece}})
                        if block["step"]:
                            write_log({"time": time.time(), "stream": "words", "words": n + 1})
                else:
                    self.event("content_block_start", {"type": "content_block_start", "index": index,
                                                       "content_block": {"type": "tool_use", "id": block["id"],
                                                                         "name": block["name"], "input": {}}})
                    self.event("content_block_delta", {"type": "content_block_delta", "index": index,
                                                       "delta": {"type": "input_json_delta",
                                                                 "partial_json": json.dumps(block["input"])}})
                self.event("content_block_stop", {"type": "content_block_stop", "index": index})
            self.event("message_delta", {"type": "message_delta",
                                         "delta": {"stop_reason": stop, "stop_sequence": None},
                                         "usage": {"output_tokens": 20}})
            self.event("message_stop", {"type": "message_stop"})
            write_log({"time": time.time(), "stream": "complete"})
        except (BrokenPipeError, ConnectionResetError):
            write_log({"time": time.time(), "stream": "cut"})  # the client stopped listening: an interruption

    def event(self, name, data):
        self.wfile.write(("event: %s\ndata: %s\n\n" % (name, json.dumps(data))).encode())
        self.wfile.flush()


def write_log(entry):
    with _log_lock, open(ARGS.log, "a", encoding="utf-8") as out:
        out.write(json.dumps(entry) + "\n")


def whole_message(body, blocks, stop):
    content = []
    for block in blocks:
        if block["type"] == "thinking":
            content.append({"type": "thinking", "thinking": block["thinking"], "signature": "c3RhbmQtaW4="})
        elif block["type"] == "text":
            content.append({"type": "text", "text": " ".join(block["words"])})
        else:
            content.append({"type": "tool_use", "id": block["id"], "name": block["name"], "input": block["input"]})
    return {"id": next_id("msg"), "type": "message", "role": "assistant", "model": body.get("model", "stand-in"),
            "content": content, "stop_reason": stop, "stop_sequence": None,
            "usage": {"input_tokens": 100, "output_tokens": 20}}


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--log", required=True, help="file to which each request is appended")
    parser.add_argument("--slow-step", type=float, default=0.8, help="seconds between the slow reply's words")
    parser.add_argument("--cwd", default="", help="the working folder of Claude Code (else read from its prompts)")
    ARGS = parser.parse_args()
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    print("messages stand-in listening on 127.0.0.1:%d" % server.server_address[1], flush=True)
    server.serve_forever()


ARGS = None
if __name__ == "__main__":
    main()

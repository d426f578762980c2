#!/usr/bin/python3
"""A small GTK 3 chat window for the desktop-backend tests.

It shows a transcript of messages, a multi-line composer with a "Send" button
and, below them, a field with a placeholder and a "Submit answer" button, like
a question prompt. A submitted prompt is added to the transcript, and a reply
is streamed into the transcript a few words at a time. Every event is printed
on standard output, one line each, for the test to follow:
  READY <pid>
  PROMPT <text as JSON>
  REPLY <full reply as JSON>      (once the reply is complete)
  ANSWER <text as JSON>
"""

import json
import os
import sys
import warnings

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402

REPLY_STEP_MS = int(os.environ.get("FIXTURE_REPLY_STEP_MS", "150"))
# Messages already in the transcript at start, for measuring long conversations.
EARLIER_MESSAGES = int(os.environ.get("FIXTURE_EARLIER_MESSAGES", "0"))


def say(*parts):
    print(*parts, flush=True)


def reply_for(prompt):
    return ("I read your message about " + prompt.strip().split()[0] +
            ". Here is the answer: the build needs the missing header, "
            "and the test passes once it is added.")


class FixtureChat(Gtk.Window):
    def __init__(self):
        super().__init__(title="Fixture Chat")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            self.set_wmclass("fixture-chat", "Fixture-chat")
        self.set_default_size(900, 700)
        self.move(0, 0)

        outer = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=8)
        outer.set_border_width(10)
        self.add(outer)

        self.transcript = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=6)
        scroller = Gtk.ScrolledWindow()
        scroller.set_vexpand(True)
        scroller.add(self.transcript)
        outer.pack_start(scroller, True, True, 0)

        row = Gtk.Box(orientation=Gtk.Orientation.HORIZONTAL, spacing=6)
        self.composer = Gtk.TextView()
        self.composer.set_wrap_mode(Gtk.WrapMode.WORD_CHAR)
        self.composer.set_size_request(-1, 60)
        self.composer.set_hexpand(True)
        self.composer.connect("key-press-event", self.on_composer_key)
        self.composer.get_accessible().set_name("Message")
        row.pack_start(self.composer, True, True, 0)
        self.send = Gtk.Button(label="Send")
        self.send.connect("clicked", lambda _b: self.submit())
        row.pack_start(self.send, False, False, 0)
        outer.pack_start(row, False, False, 0)

        question = Gtk.Box(orientation=Gtk.Orientation.HORIZONTAL, spacing=6)
        self.answer = Gtk.Entry()
        self.answer.set_placeholder_text("Type your answer")
        self.answer.set_width_chars(20)
        question.pack_start(self.answer, False, False, 0)
        submit = Gtk.Button(label="Submit answer")
        submit.connect("clicked", self.on_answer)
        question.pack_start(submit, False, False, 0)
        outer.pack_start(question, False, False, 0)

        for i in range(EARLIER_MESSAGES):
            self.add_message("Earlier message %d: the parser returns an error when the input is empty." % i)

        self.connect("destroy", Gtk.main_quit)
        self.connect("map-event", self.on_mapped)

    def on_mapped(self, *_args):
        say("READY", os.getpid())

    def add_message(self, text):
        label = Gtk.Label(label=text)
        label.set_xalign(0)
        label.set_line_wrap(True)
        self.transcript.pack_start(label, False, False, 0)
        label.show()
        return label

    def on_composer_key(self, _view, event):
        if event.keyval in (Gdk.KEY_Return, Gdk.KEY_KP_Enter) and not (event.state & Gdk.ModifierType.SHIFT_MASK):
            self.submit()
            return True
        return False

    def submit(self):
        buffer = self.composer.get_buffer()
        text = buffer.get_text(buffer.get_start_iter(), buffer.get_end_iter(), False)
        if not text.strip():
            return
        buffer.set_text("")
        self.add_message(text)
        say("PROMPT", json.dumps(text))
        self.stream_reply(reply_for(text))

    def stream_reply(self, full):
        words = full.split(" ")
        label = self.add_message(words[0])
        shown = [1]

        def step():
            if shown[0] >= len(words):
                say("REPLY", json.dumps(full))
                return False
            shown[0] = min(len(words), shown[0] + 3)
            label.set_text(" ".join(words[:shown[0]]))
            return True

        GLib.timeout_add(REPLY_STEP_MS, step)

    def on_answer(self, _button):
        say("ANSWER", json.dumps(self.answer.get_text()))
        self.answer.set_text("")


def main():
    window = FixtureChat()
    window.show_all()
    Gtk.main()


if __name__ == "__main__":
    sys.exit(main())

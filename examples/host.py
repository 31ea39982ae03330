#!/usr/bin/python3
"""A complete host of quillmarsh-dictate: dictates until Enter or Ctrl-D.

Starts the program as a child process, sends "start", and shows what it
hears on standard output: the final texts one after another, as they make
the dictation's text, and on a terminal the provisional (volatile) text of
the current sentence after them, dimmed and rewritten in place. Pressing
Enter, Ctrl-D or Ctrl-C (or the end of this script's input) sends "quit",
which stops the dictation; the last words still arrive, and the program
exits by itself. Everything else goes to standard error.

The program's standard error is read too, on a thread of its own, and
shown behind "[host] program: ". A host that does not read it loses
those diagnostics, never events; reading it is still good manners.

When the microphone is lost (the audio server ends, say), the program
stops by itself; this host then starts again, a second later and then
every second while those starts fail (up to --retries starts), since a
restarted server makes a later start listen again. Any other failed start
ends the dictation: the host quits the program and exits with status 1.

    host.py [--program PATH] [--retries N]

Python 3.9 or later, nothing outside the standard library.
"""

import argparse
import json
import queue
import shutil
import subprocess
import sys
import threading
import time


def read_lines(stream, kind, events):
    """Puts (kind, line) on `events` for each line of `stream`, then (kind, None)."""
    for line in stream:
        events.put((kind, line.rstrip("\n")))
    events.put((kind, None))


class Host:
    def __init__(self, program, retries):
        self.retries_left = retries
        self.events = queue.Queue()
        self.final_text = ""  # the dictation so far: the final texts one after another
        self.terminal = sys.stdout.isatty()
        self.volatile_shown = False  # a volatile text follows the final texts on the terminal
        self.column = 0  # characters of the final texts since their last line break
        self.open_streams = 2  # the program's standard output and error
        self.quitting = False
        self.failed = False
        self.restart_after_stop = False
        self.recovering = False  # from a lost microphone, until a start listens again
        self.child = subprocess.Popen(
            [program], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            text=True, encoding="utf-8", bufsize=1,
            # Ctrl-C reaches this host only; the program is asked to quit.
            start_new_session=True)
        for stream, kind in ((self.child.stdout, "event"), (self.child.stderr, "diagnostic"),
                             (sys.stdin, "user")):
            threading.Thread(target=read_lines, args=(stream, kind, self.events),
                             daemon=True).start()

    def send(self, command):
        try:
            self.child.stdin.write(json.dumps({"cmd": command}) + "\n")
            self.child.stdin.flush()
        except (BrokenPipeError, ValueError):
            pass  # the program has ended; its output says why

    def quit(self):
        if not self.quitting:
            self.quitting = True
            self.send("quit")
            self.child.stdin.close()

    def log(self, message):
        self.clear_volatile()
        if self.terminal and self.column:  # the message gets a line of its own on the screen
            sys.stdout.write("\n")
            sys.stdout.flush()
            self.column = 0
        print("[host] " + message, file=sys.stderr, flush=True)

    def clear_volatile(self):
        if self.volatile_shown:
            # Back to where the final texts end, erasing what follows.
            sys.stdout.write("\0338\033[J")
            sys.stdout.flush()
            self.volatile_shown = False

    def show_volatile(self, text):
        if not self.terminal:
            return
        # Only the end fits when the text is wider than what is left of the
        # line: a wrapped text could not be rewritten in place.
        width = shutil.get_terminal_size().columns
        room = max(width - 1 - self.column % width, 1)
        shown = text.replace("\n", "\u00b6")
        if len(shown) > room:
            shown = "\u2026" + shown[-(room - 1):] if room > 1 else ""
        self.clear_volatile()
        sys.stdout.write("\0337\033[2m" + shown + "\033[0m")
        sys.stdout.flush()
        self.volatile_shown = True

    def show_final(self, text):
        self.clear_volatile()
        self.final_text += text
        sys.stdout.write(text)
        sys.stdout.flush()
        newline = text.rfind("\n")
        self.column = len(text) - newline - 1 if newline >= 0 else self.column + len(text)

    def on_event(self, line):
        try:
            event = json.loads(line)
        except ValueError:
            return self.log("not an event: " + line)
        kind = event.get("type")
        if kind == "ready":
            self.send("start")
        elif kind == "model":
            if event.get("status") == "downloading":
                self.log("downloading the speech model")
        elif kind == "state":
            self.on_state(event.get("value"))
        elif kind == "volatile":
            self.show_volatile(event.get("text", ""))
        elif kind == "final":
            self.show_final(event.get("text", ""))
        elif kind == "error":
            self.on_error(event.get("message", ""))

    def on_state(self, value):
        if value == "listening":
            self.recovering = False
            if self.final_text and not self.final_text.endswith("\n"):
                self.show_final("\n")  # each dictation's text on lines of its own
            self.log("listening: speak, then press Enter or Ctrl-D")
        elif value == "stopped" and self.restart_after_stop and not self.quitting:
            self.restart_after_stop = False
            time.sleep(1)
            self.log("starting again")
            self.send("start")

    def on_error(self, message):
        self.log("error: " + message)
        lost = message.startswith("audio input lost")
        if (lost or self.recovering and message.startswith("start failed")) and self.retries_left:
            # The program writes the last final text (after a loss) and
            # "stopped" by itself.
            self.retries_left -= 1
            self.recovering = True
            self.restart_after_stop = True
        else:
            # A failed start, a refused microphone, a broken recognition
            # stream, or a loss too many: this dictation is over.
            self.failed = True
            self.quit()

    def run(self):
        while self.open_streams:
            kind, line = self.events.get()
            if kind == "user":
                self.quit()
            elif line is None:
                self.open_streams -= 1
            elif kind == "event":
                self.on_event(line)
            else:
                self.log("program: " + line)
        status = self.child.wait()
        self.clear_volatile()
        if self.column:
            sys.stdout.write("\n")
            sys.stdout.flush()
        if not self.quitting:
            print("[host] the program ended without being asked to, status %d" % status,
                  file=sys.stderr)
            return 1
        return 1 if self.failed or status != 0 else 0


def main():
    parser = argparse.ArgumentParser(description="Dictates until Enter or Ctrl-D.")
    parser.add_argument("--program", default="quillmarsh-dictate",
                        help="the program to start (default: quillmarsh-dictate from PATH)")
    parser.add_argument("--retries", type=int, default=5,
                        help="starts tried after a lost microphone (default 5)")
    args = parser.parse_args()
    try:
        host = Host(args.program, args.retries)
    except OSError as error:
        print("[host] cannot start %s: %s" % (args.program, error.strerror), file=sys.stderr)
        return 1
    while True:
        try:
            return host.run()
        except KeyboardInterrupt:
            host.quit()


if __name__ == "__main__":
    sys.exit(main())

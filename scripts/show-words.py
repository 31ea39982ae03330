#!/usr/bin/env python3
"""Shows the program's event lines (standard input) as a person reads them.

On a terminal the provisional text of the utterance being spoken is rewritten
in place, dimmed, and each final text stays on a line of its own. Anywhere
else only the final texts are written, one a line. Errors and changes of
state go to standard error in plain words. Ctrl-C is left to the caller: the
demo ends the program's input with it and this reader keeps going until the
program's last line.
"""
import json
import shutil
import sys


def main():
    out, err = sys.stdout, sys.stderr
    terminal = out.isatty()
    provisional = False  # a provisional text is on the terminal's current line

    def clear():
        nonlocal provisional
        if provisional:
            out.write("\r\033[K")
            out.flush()
            provisional = False

    def tell(text):
        clear()
        err.write(text + "\n")
        err.flush()

    for line in sys.stdin:
        try:
            event = json.loads(line)
        except ValueError:
            continue
        if not isinstance(event, dict):
            continue
        kind = event.get("type")
        if kind == "volatile" and terminal:
            # Only the end fits when the text is wider than the terminal:
            # a wrapped line could not be rewritten in place.
            width = max(shutil.get_terminal_size().columns - 1, 10)
            text = event.get("text", "")
            if len(text) > width:
                text = "\u2026" + text[-(width - 1):]
            clear()
            out.write("\033[2m" + text + "\033[0m")
            out.flush()
            provisional = True
        elif kind == "final":
            clear()
            out.write(event.get("text", "") + "\n")
            out.flush()
        elif kind == "error":
            tell("error: " + event.get("message", ""))
        elif kind == "state":
            tell("(" + event.get("value", "") + ")")
        elif kind == "model" and event.get("status") == "downloading":
            tell("(downloading the speech model)")
    clear()


if __name__ == "__main__":
    try:
        main()
    except (BrokenPipeError, KeyboardInterrupt):
        pass

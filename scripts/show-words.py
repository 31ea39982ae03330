#!/usr/bin/env python3
"""Shows the program's event lines (standard input) as a person reads them.

The final texts are written one after another, as they make the dictation's
text. On a terminal the provisional text of the utterance being spoken is
shown after them, dimmed, and rewritten in place; anywhere else only the
final texts are written, with a line feed at the end. Errors and changes of
state go to standard error in plain words, each on a line of its own. Ctrl-C
is left to the caller: the demo ends the program's input with it and this
reader keeps going until the program's last line.
"""
import json
import shutil
import sys


def main():
    out, err = sys.stdout, sys.stderr
    terminal = out.isatty()
    provisional = False  # a provisional text follows the final texts on the terminal
    column = 0  # characters of the final texts since their last line break

    def clear():
        nonlocal provisional
        if provisional:
            # Back to where the final texts end, erasing what follows.
            out.write("\0338\033[J")
            out.flush()
            provisional = False

    def tell(text):
        nonlocal column
        clear()
        if column:
            out.write("\n")
            out.flush()
            column = 0
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
        text = event.get("text", "")
        if kind == "volatile" and terminal:
            # Only the end fits when the text is wider than what is left of
            # the terminal's line: a wrapped text could not be rewritten.
            width = shutil.get_terminal_size().columns
            room = max(width - 1 - column % width, 1)
            shown = text.replace("\n", "\u00b6")
            if len(shown) > room:
                shown = "\u2026" + shown[-(room - 1):] if room > 1 else ""
            clear()
            out.write("\0337\033[2m" + shown + "\033[0m")
            out.flush()
            provisional = True
        elif kind == "final":
            clear()
            out.write(text)
            out.flush()
            column = len(text) - text.rfind("\n") - 1 if "\n" in text else column + len(text)
        elif kind == "error":
            tell("error: " + event.get("message", ""))
        elif kind == "state":
            tell("(" + event.get("value", "") + ")")
        elif kind == "model" and event.get("status") == "downloading":
            tell("(downloading the speech model)")
    clear()
    if column:
        out.write("\n")
        out.flush()


if __name__ == "__main__":
    try:
        main()
    except (BrokenPipeError, KeyboardInterrupt):
        pass

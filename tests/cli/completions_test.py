#!/usr/bin/env python3
"""The shell completions (dist/completions/) name every command and option of the program, as its English
--help lists them; and the bash completion completes a command and an option for real.

Usage: completions_test.py HELMET_UPDATE COMPLETIONS_DIR
"""
import os
import re
import shutil
import subprocess
import sys

program, folder = sys.argv[1], sys.argv[2]
env = dict(os.environ, LC_ALL="C", LC_MESSAGES="", LANG="")
help_text = subprocess.run([program, "--help"], env=env, capture_output=True, text=True, check=True).stdout

section = None
options, commands = set(), set()
for line in help_text.splitlines():
    if line and not line.startswith(" "):
        section = line.rstrip(":")
        continue
    entry = line.strip().split(" ")[0]
    if section == "Options":
        options.update(entry.split(","))
    elif section == "Commands" and entry:
        commands.add(entry)
options.discard("")  # a blank line inside the section
if len(options) < 10 or commands != {"list", "info", "update", "replay"}:
    sys.exit(f"the help did not read as expected: options {sorted(options)}, commands {sorted(commands)}")


def named(text, option, shell):
    if shell == "fish" and option.startswith("-"):  # fish names `-y` as `-s y` and `--yes` as `-l yes`
        flag = "-l" if option.startswith("--") else "-s"
        return re.search(rf"{flag} {re.escape(option.lstrip('-'))}\b", text) is not None
    return re.search(rf"(?<![\w-]){re.escape(option)}(?![\w-])", text) is not None


missing = []
for name, shell in (("helmet-update.bash", "bash"), ("_helmet-update", "zsh"), ("helmet-update.fish", "fish")):
    with open(os.path.join(folder, name), encoding="utf-8") as file:
        text = file.read()
    missing += [f"{name}: {word}" for word in sorted(options | commands) if not named(text, word, shell)]
if missing:
    sys.exit("not in the completions:\n  " + "\n  ".join(missing))

# The bash completion at work: the words typed so far, and what it offers.
bash = shutil.which("bash")
cases = [("helmet-update up", "update"), ("helmet-update rep", "replay"), ("helmet-update info --cap", "--capture"), ("helmet-update update --la", "--lang"), ("helmet-update --lang f", "fr"),
         ("helmet-update list --qu", "")]  # --quiet is for update only
for typed, expected in cases:
    words = typed.split(" ")
    script = (f"source {os.path.join(folder, 'helmet-update.bash')}\n"
              f"COMP_WORDS=({' '.join(words)}); COMP_CWORD={len(words) - 1}\n"
              "_helmet_update; printf '%s\\n' \"${COMPREPLY[@]}\"\n")
    offered = subprocess.run([bash, "-c", script], capture_output=True, text=True, check=True).stdout.split()
    if offered != ([expected] if expected else []):
        sys.exit(f"bash completion of '{typed}': {offered}, expected {expected or 'nothing'}")
print(f"{len(options)} options and {len(commands)} commands named in the bash, zsh and fish completions")

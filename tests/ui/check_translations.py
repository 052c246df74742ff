#!/usr/bin/env python3
"""Checks the wizard's translations against its sources.

usage: check_translations.py LUPDATE SOURCE_DIR

Each translations/pixsalvo3_*.ts is brought up to date with the sources by lupdate (on a
copy, so the check never edits the tree): a text that a developer put through tr() and
nobody translated shows up as unfinished. Then every message must have a finished,
non-empty translation that keeps the source's placeholders (%1..%9, %n, %d, %s, %L1...),
its line breaks ("\\r\\n" and "\\n", and the ones at either end, which are glued to other
texts) and, where the source has a keyboard accelerator ("&Save"), exactly one.
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

PLACEHOLDER = re.compile(r"%L?[1-9]|%n|%d|%s")
# One '&' that marks the next character; "&&" is a literal ampersand.
ACCELERATOR = re.compile(r"(?<!&)&(?!&)(?=\S)")


def element_text(element):
    """The text of a <source> or <translation>, with the <byte value="xd"/> that lupdate
    writes for a carriage return put back."""
    parts = [element.text or ""]
    for child in element:
        if child.tag == "byte":
            parts.append(chr(int(child.get("value").lstrip("x"), 16)))
        parts.append(child.tail or "")
    return "".join(parts)


def problems_of(context, source, translation):
    where = f"{context}: {source!r}"
    if translation is None:
        return [f"{where}: no translation"]
    kind = translation.get("type")
    text = element_text(translation)
    if kind in ("unfinished", "vanished", "obsolete") or not text:
        return [f"{where}: translation is {kind or 'empty'}"]
    found = []
    if sorted(PLACEHOLDER.findall(source)) != sorted(PLACEHOLDER.findall(text)):
        found.append(f"{where}: placeholders differ in {text!r}")
    if source.count("\r\n") != text.count("\r\n") or source.count("\n") != text.count("\n"):
        found.append(f"{where}: line breaks differ in {text!r}")
    for end in (str.startswith, str.endswith):
        if end(source, "\n") != end(text, "\n") or end(source, " ") != end(text, " "):
            found.append(f"{where}: the text's ends differ in {text!r}")
            break
    if len(ACCELERATOR.findall(source)) != len(ACCELERATOR.findall(text)):
        found.append(f"{where}: accelerators differ in {text!r}")
    return found


def check(ts_file):
    root = ET.parse(ts_file).getroot()
    problems, count = [], 0
    for context in root.iter("context"):
        name = context.findtext("name")
        for message in context.iter("message"):
            count += 1
            problems += problems_of(name, element_text(message.find("source")), message.find("translation"))
    if count == 0:
        problems.append(f"{ts_file}: no texts at all")
    return problems, count


def main():
    lupdate, source_dir = sys.argv[1], sys.argv[2]
    ts_files = sorted(glob.glob(os.path.join(source_dir, "translations", "pixsalvo3_*.ts")))
    if not ts_files:
        print("no translations found in", os.path.join(source_dir, "translations"))
        return 1
    failed = False
    with tempfile.TemporaryDirectory() as work:
        for ts_file in ts_files:
            copy = os.path.join(work, os.path.basename(ts_file))
            shutil.copy(ts_file, copy)
            run = subprocess.run([lupdate, "-silent", "-I", os.path.join(source_dir, "src"), "-locations", "none",
                                  "-no-obsolete", os.path.join(source_dir, "src", "ui"),
                                  os.path.join(source_dir, "src", "widgets"), "-ts", copy],
                                 capture_output=True, text=True, timeout=120)
            if run.returncode != 0:
                print(f"lupdate failed on {ts_file}:\n{run.stderr}")
                failed = True
                continue
            problems, count = check(copy)
            for problem in problems:
                print(f"{os.path.basename(ts_file)}: {problem}")
            print(f"{os.path.basename(ts_file)}: {count} texts, {len(problems)} problems")
            failed = failed or bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Drives a whole recovery in the running wizard through the accessibility interface
(AT-SPI) alone, as a screen reader or an accessibility client does: no mouse, no key
events. Select the card, check every file type, scan, keep every file, choose the save
folder and the prefix, save; on the way it reads every value the pages show.

    atspi_recovery.py SAVE_FOLDER PREFIX      exit 0 when the recovery went through

Prints one line per value read ("value NAME = TEXT") and the steps it takes.
"""
import os
import sys
import time

import pyatspi
from gi.repository import GLib

TIMEOUT = 60


def fail(text):
    print("FAIL: " + text, flush=True)
    sys.exit(1)


def wait_for(what, probe, timeout=TIMEOUT):
    end = time.time() + timeout
    while time.time() < end:
        try:
            got = probe()
        except Exception:  # an object that went away while it was read
            got = None
        if got:
            return got
        time.sleep(0.1)
    fail("timed out waiting for " + what)


def application():
    def find():
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.name.replace(" ", "").lower() == "pixsalvo3":
                return app
        return None
    return wait_for("the program on the accessibility bus", find)


def showing(acc):
    return acc.getState().contains(pyatspi.STATE_SHOWING)


def search(root, match, visible=True):
    """The first object under root, breadth first, that matches; only shown objects (and
    their shown children) when visible is set. Objects that go away meanwhile are skipped."""
    queue = [root]
    while queue:
        acc = queue.pop(0)
        for i in range(acc.childCount if acc is not None else 0):
            try:
                child = acc.getChildAtIndex(i)
                if child is None or (visible and not showing(child)):
                    continue
                if match(child):
                    return child
                queue.append(child)
            except Exception:
                continue
    return None


def find(root, name, role=None, visible=True):
    """The first object under root with this name (and role), shown on screen."""
    return search(root, lambda acc: acc.name == name and (role is None or acc.getRoleName() == role), visible)


def need(root, name, role=None):
    return wait_for(f"'{name}'", lambda: find(root, name, role))


def act(acc, *names):
    """Runs the first of the named actions the object has."""
    action = acc.queryAction()
    have = [action.getName(i).lower() for i in range(action.nActions)]
    for name in names:
        if name.lower() in have:
            action.doAction(have.index(name.lower()))
            return
    fail(f"'{acc.name}' has none of the actions {names}: {have}")


def press(root, name, role="push button"):
    button = need(root, name, role)
    wait_for(f"'{name}' enabled", lambda: button.getState().contains(pyatspi.STATE_ENABLED))
    act(button, "Press")
    print("pressed " + name, flush=True)


def open_menu(window):
    """Presses Menu and returns the menu that pops up. Pop-up menus are not children of the
    application; a client meets them as screen readers do, by the event of their showing."""
    shown = []

    def on_show(event):
        if event.detail1 == 1 and event.source is not None and event.source.getRoleName() == "popup menu":
            shown.append(event.source)
    pyatspi.Registry.registerEventListener(on_show, "object:state-changed:showing")
    press(window, "Menu")
    context = GLib.MainContext.default()
    end = time.time() + 10
    while not shown and time.time() < end:
        context.iteration(False)
        time.sleep(0.01)
    pyatspi.Registry.deregisterEventListener(on_show, "object:state-changed:showing")
    if not shown:
        fail("Menu opened no menu")
    return shown[0]


def value(root, caption):
    """A value label's value: its name is its caption, the value its description and text."""
    def has_text(acc):
        try:
            acc.queryText()
            return True
        except NotImplementedError:
            return False
    label = wait_for(f"the value of '{caption}'", lambda: search(
        root, lambda acc: acc.name == caption and acc.getRoleName() == "label" and has_text(acc)))
    text = label.queryText().getText(0, -1)
    if text != label.description:
        fail(f"'{caption}': text {text!r} and description {label.description!r} differ")
    print(f"value {caption} = {text}", flush=True)
    return text


def status(window):
    line = find(window, "Status")
    return line.description if line is not None else ""


def main():
    save_folder, prefix = sys.argv[1], sys.argv[2]
    os.makedirs(save_folder, exist_ok=True)
    window = wait_for("the main window", lambda: find(application(), "Pixsalvo 3", "dialog"))

    # The menu button opens its menu; its entries are there to be read and pressed.
    menu = open_menu(window)
    entries = [menu.getChildAtIndex(i).name for i in range(menu.childCount)]
    for entry in ("Help", "Attach card image...", "Check for Update...", "About Pixsalvo 3...", "Quit"):
        if entry not in entries:
            fail(f"the program menu lacks {entry}: {entries}")
    act(find(menu, "About Pixsalvo 3...", "menu item", visible=False), "Press", "Click")
    press(application(), "OK")
    print("menu read: " + ", ".join(entries), flush=True)

    # Select Card: the card's row, then Continue.
    cards = need(window, "Cards", "tree")
    cell = wait_for("the card's row", lambda: find(cards, "E:\\", "table cell"))
    if not cell.getState().contains(pyatspi.STATE_SELECTED):
        act(cell, "Toggle")
    press(window, "Continue")

    # File Types: every type of the selected cameras.
    need(window, "Media Types:", "label")
    press(window, "Select all types")
    images = need(window, "Images:", "list")
    items = [images.getChildAtIndex(i) for i in range(images.childCount)]
    wait_for("every image type checked", lambda: all(i.getState().contains(pyatspi.STATE_CHECKED) for i in items), 10)
    # A type toggled off and on again through its own action.
    first = images.getChildAtIndex(0)
    act(first, "Toggle")
    wait_for(f"{first.name} unchecked", lambda: not first.getState().contains(pyatspi.STATE_CHECKED))
    act(first, "Toggle")
    wait_for(f"{first.name} checked", lambda: first.getState().contains(pyatspi.STATE_CHECKED))
    press(window, "Continue")

    # Find Images: Start, until the status line says Finished.
    press(window, "Start")
    wait_for("the scan's end", lambda: status(window) == "Finished", timeout=120)
    found = int(value(window, "Images Found:"))
    if found <= 0:
        fail("the scan found nothing")
    value(window, "Progress text")
    press(window, "Continue")

    # Preview Images: keep every file; the grid's cells carry name, state and actions.
    press(window, "Keep All")
    grid = need(window, "Thumbnails", "list")
    wait_for("the grid's cells", lambda: grid.childCount == found)
    cell = grid.getChildAtIndex(0)
    if not cell.getState().contains(pyatspi.STATE_CHECKED):
        fail("a kept cell is not checked")
    print(f"cell {cell.name}: {cell.description}", flush=True)
    act(cell, "Toggle")
    wait_for("the cell unkept", lambda: not cell.getState().contains(pyatspi.STATE_CHECKED))
    act(cell, "Toggle")
    value(window, "Selected")
    press(window, "Continue")

    # Save Images: the folder through the folder dialog, the prefix typed in, Save.
    press(window, "Select")
    dialog = wait_for("the folder dialog", lambda: next(
        (w for w in application() if w is not None and w.getRoleName() == "dialog" and w.name != "Pixsalvo 3"), None))
    entry = wait_for("the dialog's folder field", lambda: search(
        dialog, lambda a: a.getRoleName() == "text" and a.getState().contains(pyatspi.STATE_EDITABLE)))
    entry.queryEditableText().setTextContents(save_folder)
    choose = wait_for("the dialog's Choose button", lambda: search(
        dialog, lambda a: a.getRoleName() == "push button" and a.name in ("Choose", "Open", "OK")))
    wait_for("Choose enabled", lambda: choose.getState().contains(pyatspi.STATE_ENABLED))
    act(choose, "Press")
    link = need(window, "Destination folder", "push button")
    wait_for("the chosen folder", lambda: link.description == save_folder)
    prefix_field = need(window, "Enter a prefix for recovered file names:", "text")
    prefix_field.queryEditableText().setTextContents(prefix)
    value(window, "Total Images:")
    value(window, "Total Size:")
    value(window, "Free Space:")
    press(window, "Save")
    wait_for("the save's end", lambda: status(window) == "Finished")
    saved = int(value(window, "Total Images:"))
    if saved != found:
        fail(f"{saved} files saved of {found}")
    print("saved into " + link.description, flush=True)

    # Burn Images: its values are readable too.
    press(window, "Continue")
    for caption in ("Restored images total size:", "Number of files:", "Restored Images Location:"):
        value(window, caption)

    # Test Card: the six lines after a test of the card.
    press(window, "View all Tools")
    need(window, "Identify potential memory card problems.", "label")
    press(window, "Start")
    # The status line still says the save's "Finished": the test has ended when it says so
    # with bytes verified.
    wait_for("the test's end", lambda: status(window) == "Finished"
             and value(window, "Bytes Verified:") not in ("", "0"), timeout=120)
    for caption in ("Read Errors:", "Boot Block:", "FAT Clusters:", "Directory:", "Fragmentation:"):
        value(window, caption)

    act(find(open_menu(window), "Quit", "menu item", visible=False), "Press", "Click")
    print("done", flush=True)


if __name__ == "__main__":
    main()

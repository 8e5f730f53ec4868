#!/usr/bin/env python3
"""What a screen reader reads of Dorvane, over AT-SPI, against a real Velkora.

Runs inside its own session bus (dbus-run-session) and network namespace (see atspi_scenario.sh):
starts Velkora on a private pipe with two static entries and its DHCP port moved to 1067, then
Dorvane on an Xvfb display with accessibility on, once on an English and once on a German
desktop, and reads from the accessibility tree the top bar, the bottom bar, the view buttons and
the labels of the Preferences' first page. Each must read as the screen shows it and say what the
server reports.
Usage: atspi_scenario.py VELKORA TRISKO DORVANE
"""
import os
import subprocess
import sys
import tempfile
import time

import pyatspi

velkora, trisko, dorvane = sys.argv[1:4]
work = tempfile.mkdtemp(prefix="tolmark-atspi.")
env = dict(os.environ, TOLMARK_REGISTRY=work + "/registry.ini", TOLMARK_PIPE="tolmark_atspi_%d" % os.getpid())
with open(work + "/registry.ini", "w") as f:
    f.write("[Dorvane]\nDirectory=%s/\n" % work)
with open(work + "/Dorvane.ini", "w") as f:
    f.write("[Dorvane]\nPort=1067\nLog=2\nProfile0=Standard\n[Standard]\nBaseIP=10.99.0.100\nRange=20\n")
faults = []
processes = []


def fault(text):
    print("FAULT: " + text)
    faults.append(text)


def wait_for(what, probe, seconds=20):
    end = time.time() + seconds
    while time.time() < end:
        value = probe()
        if value:
            return value
        time.sleep(0.2)
    fault("no " + what + " within %d s" % seconds)
    return None


server = subprocess.Popen([velkora, "-debug"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
processes.append(server)


def tool(*args):
    return subprocess.run([trisko, *args], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


# trisko exits with 1 when it did what it was asked, 0 while the service is not reached.
wait_for("server", lambda: tool("print").returncode == 1)
for mac, ip in (("02:00:5e:10:00:01", "10.99.0.10"), ("02:00:5e:10:00:02", "10.99.0.11")):
    tool("add", mac, ip)
listing = tool("print").stdout
statics = [line for line in listing.splitlines() if line.startswith("02-00-5e-10-00-0")]

xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
processes.append(xvfb)
display = ":" + xvfb.stdout.readline().strip()


def tree(node, depth=0):
    """Every accessible below node, breadth first."""
    out, queue = [], [node]
    while queue:
        n = queue.pop(0)
        out.append(n)
        try:
            queue.extend(n.getChildAtIndex(i) for i in range(n.childCount))
        except Exception:
            pass
    return [n for n in out if n is not None]


def application():
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name == "Dorvane":
            return app
    return None


def run(desktop_language, texts):
    home = tempfile.mkdtemp(prefix="home.", dir=work)
    os.makedirs(home + "/tolmark")
    with open(home + "/tolmark/registry.ini", "w") as f:
        f.write("[Dorvane]\nView=0\nTrayIcon=0\nleft=0\ntop=0\nwidth=700\nheight=400\n")
    manager_env = dict(env, DISPLAY=display, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                       XDG_CONFIG_HOME=home, LANG=desktop_language, LC_ALL=desktop_language,
                       XDG_RUNTIME_DIR=home)
    manager = subprocess.Popen([dorvane], env=manager_env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    processes.append(manager)
    try:
        app = wait_for("Dorvane on the accessibility bus", application)
        if app is None:
            return
        frame = wait_for("main window", lambda: next((w for w in app if w and w.name == texts["title"]), None))
        if frame is None:
            return
        # Top bar: the counts of the Static view as the server reports them.
        # What is read is what the screen shows; the blanks at the front of a status text are not
        # seen (and a language file's values lose them).
        counts = (texts["counts"] % len(statics)).strip()
        names = lambda: [n.name.strip() for n in tree(frame) if n.getRole() == pyatspi.ROLE_LABEL]
        if not wait_for("top bar reading %r" % counts, lambda: counts in names()):
            print("labels read:", names())
        # Bottom bar: the port the server listens on.
        if not wait_for("bottom bar reading %r" % texts["ready"], lambda: texts["ready"].strip() in names()):
            print("labels read:", names())
        # The view buttons by their captions (TFTP is off, so its button is not shown).
        buttons = {n.name: n.getRoleName() for n in tree(frame) if n.getState().contains(pyatspi.STATE_SHOWING)
                   and n.getRole() not in (pyatspi.ROLE_LABEL, pyatspi.ROLE_MENU_ITEM, pyatspi.ROLE_MENU)}
        for caption in texts["buttons"]:
            if caption not in buttons:
                fault("no view button %r among %r" % (caption, sorted(buttons)))
        # Options > Preferences, pressed through the accessibility tree.
        item = next((n for n in tree(frame) if n.getRole() == pyatspi.ROLE_MENU_ITEM and n.name == texts["menu"]), None)
        if item is None:
            fault("no menu item %r" % texts["menu"])
            return
        action = item.queryAction()
        action.doAction(0)
        dialog = wait_for("Preferences", lambda: next((w for w in app if w and w.name == texts["preferences"]), None))
        if dialog is None:
            return
        boxes = wait_for("check boxes of the first page", lambda: {
            n.name: n.getState().contains(pyatspi.STATE_CHECKED)
            for n in tree(dialog) if n.getRole() == pyatspi.ROLE_CHECK_BOX
            and n.getState().contains(pyatspi.STATE_SHOWING)})
        for name in texts["boxes"]:
            if name not in (boxes or {}):
                fault("Preferences: no check box %r among %r" % (name, sorted(boxes or {})))
        # The server's "Log" is 2: a log file with all details.
        for name in texts["boxes"][:2]:
            if boxes and boxes.get(name) is not True:
                fault("Preferences: %r should be checked, as the server's Log is 2" % name)
        labels = {n.name for n in tree(dialog) if n.getRole() == pyatspi.ROLE_LABEL}
        for name in texts["labels"]:
            if name not in labels:
                fault("Preferences: no label %r among %r" % (name, sorted(labels)))
        cancel = next((n for n in tree(dialog) if n.getRole() == pyatspi.ROLE_PUSH_BUTTON and n.name == texts["cancel"]),
                      None)
        if cancel is None:
            fault("Preferences: no button %r" % texts["cancel"])
        else:
            cancel.queryAction().doAction(0)
    finally:
        manager.terminate()
        manager.wait(10)


try:
    run("C.UTF-8", {
        "title": "Tolmark DHCP Server",
        "counts": "  Observed MAC addresses/identifieres:  0 of %d",
        "ready": " Listening on Port: 1067",
        "buttons": ["Static", "Dynamic", "Ignored"],
        "menu": "Preferences...",
        "preferences": "Preferences",
        "boxes": ["Write log file", "log all details", "Show grid lines", "Save last access time"],
        "labels": ["Create new log file"],
        "cancel": "Cancel",
    })
    run("de_DE.UTF-8", {
        "title": "Tolmark DHCP Server",
        "counts": "  Beobachtete MAC-Adressen/Kennungen:  0 von %d",
        "ready": " Empfangsbereit auf Port: 1067",
        "buttons": ["Statisch", "Dynamisch", "Ignoriert"],
        "menu": "Einstellungen...",
        "preferences": "Einstellungen",
        "boxes": ["Protokolldatei schreiben", "alle Einzelheiten protokollieren", "Gitternetzlinien anzeigen",
                  "Zeit des letzten Zugriffs speichern"],
        "labels": ["Neue Protokolldatei anlegen"],
        "cancel": "Abbrechen",
    })
finally:
    for p in reversed(processes):
        if p.poll() is None:
            p.terminate()
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
    subprocess.run(["rm", "-rf", work])

if len(statics) != 2:
    fault("the server lists %d of the 2 static entries:\n%s" % (len(statics), listing))
print("%d passed, %d failed" % (1 if not faults else 0, 1 if faults else 0))
sys.exit(1 if faults else 0)

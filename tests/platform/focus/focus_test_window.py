#!/usr/bin/python3
# A GTK 3 window for the AT-SPI focus tests: a text entry, a password entry and a button. It reads one
# command a line from standard input and answers each with one line on standard output:
#   present        brings the window to the front (no window manager runs: this takes the X focus)
#   focus NAME     focuses `entry`, `password` or `button`; answers with its screen rectangle
#   quit (or EOF)  closes the window and ends the program
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402

window = Gtk.Window(title="tavlo-focus-test")
window.move(40, 60)
box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=8)
entry = Gtk.Entry()
password = Gtk.Entry()
password.set_visibility(False)
button = Gtk.Button(label="button")
widgets = {"entry": entry, "password": password, "button": button}
for widget in widgets.values():
    box.pack_start(widget, False, False, 0)
window.add(box)
window.connect("destroy", Gtk.main_quit)
window.show_all()


def screen_rect(widget):
    _, x, y = widget.get_window().get_origin()
    allocation = widget.get_allocation()
    if widget.get_has_window():
        return x, y, allocation.width, allocation.height
    return x + allocation.x, y + allocation.y, allocation.width, allocation.height


def answer(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def on_command(channel, condition):
    line = sys.stdin.readline()
    words = line.split()
    if not line or words == ["quit"]:
        Gtk.main_quit()
        return False
    if words == ["present"]:
        window.present()
        answer("ok")
    elif len(words) == 2 and words[0] == "focus" and words[1] in widgets:
        widget = widgets[words[1]]
        widget.grab_focus()
        answer("ok %d %d %d %d" % screen_rect(widget))
    else:
        answer("unknown " + line.strip())
    return True


GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, on_command)
answer("ready")
Gtk.main()

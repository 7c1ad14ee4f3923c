#!/usr/bin/env python3
"""A stand-in file manager for tests on a private session bus: it owns
org.freedesktop.FileManager1 and appends every ShowItems call to the file named by its first
argument, one JSON line [uris, startup_id] per call. Prints "ready" once it owns its name."""

import json
import signal
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

NAME = "org.freedesktop.FileManager1"
PATH = "/org/freedesktop/FileManager1"


class FileManager(dbus.service.Object):
    def __init__(self, bus, log):
        super().__init__(bus, PATH)
        self.log = log

    @dbus.service.method(NAME, in_signature="ass", out_signature="")
    def ShowItems(self, uris, startup_id):
        with open(self.log, "a") as out:
            out.write(json.dumps([[str(u) for u in uris], str(startup_id)]) + "\n")

    @dbus.service.method(NAME, in_signature="ass", out_signature="")
    def ShowFolders(self, uris, startup_id):
        pass


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    manager = FileManager(bus, sys.argv[1])
    name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    loop = GLib.MainLoop()
    signal.signal(signal.SIGTERM, lambda *_: loop.quit())
    print("ready", flush=True)
    loop.run()
    del name, manager


if __name__ == "__main__":
    main()

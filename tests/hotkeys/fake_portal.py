#!/usr/bin/env python3
"""A stand-in for the desktop portal's org.freedesktop.portal.GlobalShortcuts interface, for
tests on a private session bus. It answers CreateSession and BindShortcuts through Request
objects as the portal does, records every binding, and offers a control interface
(org.quillo.TestPortal) through which a test reads the bindings, makes it decline shortcuts and
sends Activated. Prints "ready" on standard output once it owns its name."""

import json
import signal
import sys

import dbus
import dbus.bus
import dbus.lowlevel
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

NAME = "org.freedesktop.portal.Desktop"
PATH = "/org/freedesktop/portal/desktop"
IFACE = "org.freedesktop.portal.GlobalShortcuts"
CONTROL = "org.quillo.TestPortal"


def sender_part(sender):
    return sender[1:].replace(".", "_")


class Portal(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, PATH)
        self.bus = bus
        self.sessions = []
        self.bindings = []
        self.refused = set()
        self.deny = False
        self.last_bound = {}

    def respond(self, path, code, results):
        def send():
            msg = dbus.lowlevel.SignalMessage(path, "org.freedesktop.portal.Request", "Response")
            msg.append(dbus.UInt32(code), dbus.Dictionary(results, signature="sv"))
            self.bus.send_message(msg)
            return False
        # After the method's reply, as the real portal does.
        GLib.timeout_add(10, send)

    @dbus.service.method(IFACE, in_signature="a{sv}", out_signature="o", sender_keyword="sender")
    def CreateSession(self, options, sender=None):
        path = "%s/request/%s/%s" % (PATH, sender_part(sender), options["handle_token"])
        session = "%s/session/%s/%s" % (PATH, sender_part(sender), options["session_handle_token"])
        self.sessions.append(session)
        self.respond(path, 0, {"session_handle": dbus.String(session)})
        return dbus.ObjectPath(path)

    @dbus.service.method(IFACE, in_signature="oa(sa{sv})sa{sv}", out_signature="o", sender_keyword="sender")
    def BindShortcuts(self, session, shortcuts, parent_window, options, sender=None):
        path = "%s/request/%s/%s" % (PATH, sender_part(sender), options["handle_token"])
        entry = []
        for sid, opts in shortcuts:
            entry.append([str(sid), {str(k): str(v) for k, v in opts.items()}])
        self.bindings.append({"session": str(session), "known": str(session) in self.sessions,
                              "shortcuts": entry})
        if self.deny:
            self.respond(path, 1, {})
            return dbus.ObjectPath(path)
        bound = []
        self.last_bound = {}
        for sid, opts in entry:
            if sid in self.refused:
                continue
            trigger = "Press " + opts.get("preferred_trigger", "nothing")
            self.last_bound[sid] = trigger
            bound.append(dbus.Struct((sid, dbus.Dictionary(
                {"description": opts.get("description", ""), "trigger_description": trigger},
                signature="sv"))))
        self.respond(path, 0, {"shortcuts": dbus.Array(bound, signature="(sa{sv})")})
        return dbus.ObjectPath(path)

    @dbus.service.method(IFACE, in_signature="oa{sv}", out_signature="o", sender_keyword="sender")
    def ListShortcuts(self, session, options, sender=None):
        path = "%s/request/%s/%s" % (PATH, sender_part(sender), options["handle_token"])
        bound = [dbus.Struct((sid, dbus.Dictionary({"trigger_description": t}, signature="sv")))
                 for sid, t in self.last_bound.items()]
        self.respond(path, 0, {"shortcuts": dbus.Array(bound, signature="(sa{sv})")})
        return dbus.ObjectPath(path)

    @dbus.service.signal(IFACE, signature="osta{sv}")
    def Activated(self, session_handle, shortcut_id, timestamp, options):
        pass

    @dbus.service.signal(IFACE, signature="osta{sv}")
    def Deactivated(self, session_handle, shortcut_id, timestamp, options):
        pass

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, prop):
        if interface == IFACE and prop == "version":
            return dbus.UInt32(1)
        raise dbus.exceptions.DBusException("no such property", name="org.freedesktop.DBus.Error.UnknownProperty")

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return dbus.Dictionary({"version": dbus.UInt32(1)} if interface == IFACE else {}, signature="sv")

    # ---- control interface for the tests ----

    @dbus.service.method(CONTROL, in_signature="", out_signature="s")
    def Bindings(self):
        return json.dumps(self.bindings)

    @dbus.service.method(CONTROL, in_signature="as", out_signature="")
    def SetRefused(self, ids):
        self.refused = set(str(i) for i in ids)

    @dbus.service.method(CONTROL, in_signature="b", out_signature="")
    def SetDenyAll(self, deny):
        self.deny = bool(deny)

    @dbus.service.method(CONTROL, in_signature="s", out_signature="b")
    def Activate(self, shortcut_id):
        if not self.sessions:
            return False
        session = dbus.ObjectPath(self.sessions[-1])
        self.Activated(session, shortcut_id, dbus.UInt64(1), dbus.Dictionary({}, signature="sv"))
        self.Deactivated(session, shortcut_id, dbus.UInt64(2), dbus.Dictionary({}, signature="sv"))
        return True

    @dbus.service.method(CONTROL, in_signature="", out_signature="")
    def Restart(self):
        """Acts as a portal that crashed and was started again: gives up the name, forgets
        every session, and takes the name again."""
        def again():
            self.sessions = []
            self.last_bound = {}
            # Asked for directly: dbus-python keeps the first BusName object and would not ask.
            self.bus.request_name(NAME, dbus.bus.NAME_FLAG_DO_NOT_QUEUE)
            return False
        def drop():
            self.bus.release_name(NAME)
            GLib.timeout_add(50, again)
            return False
        GLib.idle_add(drop)

    @dbus.service.method(CONTROL, in_signature="ss", out_signature="")
    def ActivateInSession(self, session, shortcut_id):
        self.Activated(dbus.ObjectPath(session), shortcut_id, dbus.UInt64(1), dbus.Dictionary({}, signature="sv"))


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    portal = Portal(bus)
    name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    print("ready", flush=True)
    loop.run()
    del name, portal


if __name__ == "__main__":
    sys.exit(main())

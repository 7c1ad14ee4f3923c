#!/usr/bin/env python3
"""What the Wayland tests ask of the session bus, as a tray host would ask it.

  sni-host.py items                     the items the StatusNotifierWatcher lists, one a line
  sni-host.py owner-pid NAME            the process that owns NAME on the bus
  sni-host.py names                     the names on the bus, one a line
  sni-host.py activate ITEM X Y         a left click on ITEM ("BUS_NAME/OBJECT_PATH"), as swaybar sends it
  sni-host.py menu-click ITEM LABEL     a click on the row of ITEM's exported menu whose label starts with LABEL
"""
import sys

import dbus

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM_INTERFACE = "org.kde.StatusNotifierItem"
MENU_INTERFACE = "com.canonical.dbusmenu"


def split_item(item):
    # An item registered by its bus name alone serves the usual path.
    name, slash, path = item.partition("/")
    return name, "/" + path if slash else "/StatusNotifierItem"


def find_row(layout, label):
    ident, properties, children = layout
    if str(properties.get("label", "")).startswith(label):
        return int(ident)
    for child in children:
        found = find_row(child, label)
        if found is not None:
            return found
    return None


def main(argv):
    bus = dbus.SessionBus()
    command = argv[1] if len(argv) > 1 else ""
    if command == "items":
        watcher = bus.get_object(WATCHER, "/StatusNotifierWatcher")
        for item in watcher.Get(WATCHER, "RegisteredStatusNotifierItems", dbus_interface=dbus.PROPERTIES_IFACE):
            print(item)
    elif command == "owner-pid":
        daemon = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
        print(int(daemon.GetConnectionUnixProcessID(argv[2], dbus_interface="org.freedesktop.DBus")))
    elif command == "names":
        daemon = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
        for name in daemon.ListNames(dbus_interface="org.freedesktop.DBus"):
            print(name)
    elif command == "activate":
        name, path = split_item(argv[2])
        bus.get_object(name, path).Activate(dbus.Int32(int(argv[3])), dbus.Int32(int(argv[4])),
                                            dbus_interface=ITEM_INTERFACE)
    elif command == "menu-click":
        name, path = split_item(argv[2])
        menu_path = bus.get_object(name, path).Get(ITEM_INTERFACE, "Menu", dbus_interface=dbus.PROPERTIES_IFACE)
        menu = bus.get_object(name, menu_path)
        _, layout = menu.GetLayout(0, -1, dbus.Array([], signature="s"), dbus_interface=MENU_INTERFACE)
        row = find_row(layout, argv[3])
        if row is None:
            print("no row labelled %r in the exported menu" % argv[3], file=sys.stderr)
            return 1
        menu.AboutToShow(0, dbus_interface=MENU_INTERFACE)
        menu.Event(dbus.Int32(row), "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0),
                   dbus_interface=MENU_INTERFACE)
    else:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

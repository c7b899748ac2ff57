"""A freedesktop notification service for the real-capture test, on the
session bus it is started with. Prints "ready", then one JSON line per
Notify call; a notification whose summary is the first argument gets its
default action invoked 200 ms later, as a click would. Run it with Debian's
/usr/bin/python3, which has the D-Bus and GLib bindings."""
import json
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

INTERFACE = "org.freedesktop.Notifications"


class Service(dbus.service.Object):
    def __init__(self, bus, click):
        super().__init__(bus, "/org/freedesktop/Notifications")
        self.click, self.last = click, 0

    @dbus.service.method(INTERFACE, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        self.last += 1
        number = self.last
        print(json.dumps({"id": number, "app": str(app), "summary": str(summary), "body": str(body),
                          "actions": [str(a) for a in actions]}), flush=True)
        if summary == self.click:
            GLib.timeout_add(200, lambda: self.ActionInvoked(number, "default") and False)
        return number

    @dbus.service.signal(INTERFACE, signature="us")
    def ActionInvoked(self, number, key):
        pass


dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
name = dbus.service.BusName(INTERFACE, bus)
service = Service(bus, sys.argv[1])
print("ready", flush=True)
GLib.MainLoop().run()

#!/usr/bin/env python3
"""Stands in for a node's systemd on a test's own D-Bus: owns
org.freedesktop.systemd1 and writes each RestartUnit call it gets as
"<unit> <mode>" lines into LOG.

  systemd_stand_in.py BUS_ADDRESS LOG
"""
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib


class Manager(dbus.service.Object):
    def __init__(self, bus, log):
        super().__init__(bus, '/org/freedesktop/systemd1')
        self.log = log

    @dbus.service.method('org.freedesktop.systemd1.Manager', in_signature='ss', out_signature='o')
    def RestartUnit(self, unit, mode):
        with open(self.log, 'a') as f:
            f.write('%s %s\n' % (unit, mode))
        return dbus.ObjectPath('/org/freedesktop/systemd1/job/1')


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(sys.argv[1])
    owned = dbus.service.BusName('org.freedesktop.systemd1', bus)  # released when collected
    manager = Manager(bus, sys.argv[2])
    GLib.MainLoop().run()
    del owned, manager


main()

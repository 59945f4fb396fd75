#!/usr/bin/python3
"""A ModemManager stand-in on a private bus, for the serial driver's tests.

It owns org.freedesktop.ModemManager1 and lists one modem whose port is the
given pseudo-terminal. It holds that port (open, flock'ed and exclusive, as
ModemManager holds a port it drives) until the modem is inhibited, lets go
of it a moment later, and takes it back when the inhibition ends: by
InhibitDevice(uid, false) or by the inhibiting client leaving the bus.
Every call and event goes to the record file, one line each.

Modes: normal; denied (InhibitDevice answers as polkit's refusal does);
old (a ModemManager before 1.16: no InhibitDevice at all).
"""

import argparse
import fcntl
import os
import sys
import termios

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

SERVICE = "org.freedesktop.ModemManager1"
PATH = "/org/freedesktop/ModemManager1"
MODEM_PATH = PATH + "/Modem/0"
MODEM = SERVICE + ".Modem"
PORT_TYPE_AT = 3


class Manager(dbus.service.Object):
    def __init__(self, bus, args):
        super().__init__(bus, PATH)
        self.bus = bus
        self.args = args
        self.port_name = os.path.realpath(args.port)[len("/dev/"):]
        self.fd = None
        self.inhibitor = None
        self.watch = None
        self.hold()

    def record(self, line):
        with open(self.args.record, "a") as f:
            f.write(line + "\n")

    def hold(self):
        try:
            fd = os.open(self.args.port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        except OSError as e:
            self.record("cannot open the port: %s" % e)
            return False
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            os.close(fd)
            self.record("port busy when taking it back")
            return False
        fcntl.ioctl(fd, termios.TIOCEXCL)
        self.fd = fd
        return True

    def let_go(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None
            self.record("let go of the port")
        return False

    def take_back(self):
        if self.inhibitor is None and self.fd is None and self.hold():
            self.record("took the port back")
        return False

    def end_inhibition(self):
        self.inhibitor = None
        if self.watch is not None:
            self.watch.cancel()
            self.watch = None
        # the client's own hang-up goes first; ModemManager probes a moment later
        GLib.timeout_add(100, self.take_back)

    def owner_changed(self, owner):
        if owner == "" and self.inhibitor is not None:
            self.record("client left %s" % self.args.uid)
            self.end_inhibition()

    @dbus.service.method("org.freedesktop.DBus.ObjectManager", out_signature="a{oa{sa{sv}}}")
    def GetManagedObjects(self):
        objects = dbus.Dictionary({}, signature="oa{sa{sv}}")
        if self.inhibitor is None:  # an inhibited device's modem leaves the bus
            ports = dbus.Array([(self.port_name, dbus.UInt32(PORT_TYPE_AT))], signature="(su)")
            objects[dbus.ObjectPath(MODEM_PATH)] = {
                MODEM: dbus.Dictionary(
                    {"Device": self.args.uid, "Ports": ports, "PrimaryPort": self.port_name}, signature="sv"
                )
            }
        return objects


class InhibitingManager(Manager):
    @dbus.service.method(SERVICE, in_signature="sb", sender_keyword="sender")
    def InhibitDevice(self, uid, inhibit, sender=None):
        self.record("InhibitDevice %s %s" % (uid, "true" if inhibit else "false"))
        if self.args.mode == "denied":
            raise dbus.exceptions.DBusException(
                "Not authorized to perform operation 'InhibitDevice'",
                name="org.freedesktop.ModemManager1.Error.Core.Unauthorized",
            )
        if uid != self.args.uid:
            raise dbus.exceptions.DBusException(
                "No device found with uid '%s'" % uid, name="org.freedesktop.ModemManager1.Error.Core.NotFound"
            )
        if inhibit:
            if self.inhibitor is not None:
                raise dbus.exceptions.DBusException(
                    "Device already inhibited", name="org.freedesktop.ModemManager1.Error.Core.InProgress"
                )
            self.inhibitor = sender
            self.watch = self.bus.watch_name_owner(sender, self.owner_changed)
            GLib.timeout_add(self.args.let_go_ms, self.let_go)
        elif sender == self.inhibitor:
            self.end_inhibition()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--address", required=True)
    p.add_argument("--port", required=True)
    p.add_argument("--uid", required=True)
    p.add_argument("--record", required=True)
    p.add_argument("--mode", choices=["normal", "denied", "old"], default="normal")
    p.add_argument("--let-go-ms", type=int, default=300)
    args = p.parse_args()

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(args.address)
    manager = (Manager if args.mode == "old" else InhibitingManager)(bus, args)
    name = dbus.service.BusName(SERVICE, bus)
    loop = GLib.MainLoop()
    print("ready", flush=True)
    loop.run()
    del name, manager


if __name__ == "__main__":
    sys.exit(main())

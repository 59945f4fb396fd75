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

The modem's SIM, state, registration, operator and signal are options, as
is its answer to a USSD code (Modem3gpp.Ussd.Initiate): a text, an error,
none at all (silent), or a text after which the network waits for more
(more: the session stays in user-response until Cancel).
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
MODEM_3GPP = MODEM + ".Modem3gpp"
USSD = MODEM_3GPP + ".Ussd"
PORT_TYPE_AT = 3
USSD_IDLE, USSD_USER_RESPONSE = 1, 3


class Modem(dbus.service.Object):
    def __init__(self, bus, manager):
        super().__init__(bus, MODEM_PATH)
        self.manager = manager
        self.session = USSD_IDLE

    @dbus.service.method(USSD, in_signature="s", out_signature="s", async_callbacks=("ok", "err"))
    def Initiate(self, command, ok, err):
        args = self.manager.args
        self.manager.record("Ussd.Initiate %s" % command)
        if args.ussd_mode == "silent":
            return  # never answered: the caller's time runs out
        if args.ussd_mode == "error":
            err(dbus.exceptions.DBusException("USSD: network rejected", name=SERVICE + ".Error.Core.Failed"))
            return
        if args.ussd_mode == "more":
            self.session = USSD_USER_RESPONSE
        ok(args.ussd_answer)

    @dbus.service.method(USSD)
    def Cancel(self):
        self.manager.record("Ussd.Cancel")
        self.session = USSD_IDLE

    @dbus.service.method("org.freedesktop.DBus.Properties", in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if interface == USSD and name == "State":
            return dbus.UInt32(self.session)
        raise dbus.exceptions.DBusException("no such property", name="org.freedesktop.DBus.Error.UnknownProperty")


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
            a = self.args
            modem = {
                MODEM: dbus.Dictionary(
                    {
                        "Device": a.uid,
                        "Ports": ports,
                        "PrimaryPort": self.port_name,
                        "State": dbus.Int32(a.state),
                        "UnlockRequired": dbus.UInt32(a.lock),
                        "StateFailedReason": dbus.UInt32(a.failed_reason),
                        "SignalQuality": dbus.Struct((dbus.UInt32(a.signal), True), signature="ub"),
                    },
                    signature="sv",
                ),
                MODEM_3GPP: dbus.Dictionary(
                    {"RegistrationState": dbus.UInt32(a.registration), "OperatorName": a.operator}, signature="sv"
                ),
            }
            if not a.no_ussd:
                modem[USSD] = dbus.Dictionary({"State": dbus.UInt32(USSD_IDLE)}, signature="sv")
            objects[dbus.ObjectPath(MODEM_PATH)] = modem
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
    p.add_argument("--state", type=int, default=8)  # registered
    p.add_argument("--lock", type=int, default=1)  # none
    p.add_argument("--failed-reason", type=int, default=0)
    p.add_argument("--registration", type=int, default=1)  # home
    p.add_argument("--operator", default="Zentora")
    p.add_argument("--signal", type=int, default=64)
    p.add_argument("--ussd-mode", choices=["answer", "silent", "error", "more"], default="answer")
    p.add_argument("--ussd-answer", default="Баланс: 250,00 руб.")
    p.add_argument("--no-ussd", action="store_true")
    args = p.parse_args()

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(args.address)
    manager = (Manager if args.mode == "old" else InhibitingManager)(bus, args)
    modem = Modem(bus, manager)
    name = dbus.service.BusName(SERVICE, bus)
    loop = GLib.MainLoop()
    print("ready", flush=True)
    loop.run()
    del name, manager, modem


if __name__ == "__main__":
    sys.exit(main())

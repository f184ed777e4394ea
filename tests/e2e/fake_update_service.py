#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A scripted update service for the end-to-end tests.

Owns com.palvane.UpdateService on the bus it is given and serves the
service object, one collection and its items as the wire contract lays them
out. It shares no code with the client. A test steers it through the
control object: it reads the calls recorded so far and makes an item raise
its events, from the connection that owns the service name.

Usage: fake_update_service.py CONFIG.json
CONFIG: {"connected": -1, "pidfile": "...",
         "items": [{"name": "...", "text": "...", "prepare": -1}, ...]}
The bus is DBUS_STARTER_ADDRESS when the bus started us, else
DBUS_SESSION_BUS_ADDRESS.
"""

import json
import os
import signal
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

import contract
from contract import (AGENT_IFACE, COLLECTION_IFACE, EVENTS_IFACE, ITEM_IFACE, SERVICE_IFACE,
                      SERVICE_NAME, SERVICE_PATH)

CONTROL_PATH = "/kelvarra/test/FakeControl"
CONTROL_IFACE = "dev.kelvarra.test.FakeControl"


class CallLog:
    def __init__(self):
        self.calls = []

    def record(self, path, member, *args):
        self.calls.append([path, member, [plain(a) for a in args]])


def plain(value):
    if isinstance(value, dbus.String):
        return str(value)
    if isinstance(value, (dbus.Int16, dbus.Int32, dbus.Int64)):
        return int(value)
    return value


class UpdateItemObject(dbus.service.Object):
    def __init__(self, bus, path, props, log):
        super().__init__(bus, path)
        self.path = path
        self.props = props
        self.log = log

    @dbus.service.method(ITEM_IFACE, in_signature="i", out_signature="s")
    def GetName(self, n):
        self.log.record(self.path, "GetName", n)
        return self.props.get("name", "")

    @dbus.service.method(ITEM_IFACE, in_signature="", out_signature="")
    def Cancel(self):
        self.log.record(self.path, "Cancel")

    @dbus.service.method(ITEM_IFACE, in_signature="n", out_signature="n")
    def PrepareDownload(self, b):
        self.log.record(self.path, "PrepareDownload", b)
        return dbus.Int16(self.props.get("prepare", contract.TRUE))

    @dbus.service.method(ITEM_IFACE, in_signature="", out_signature="")
    def Execute(self):
        self.log.record(self.path, "Execute")

    @dbus.service.method(ITEM_IFACE, in_signature="i", out_signature="s")
    def GetText(self, n):
        self.log.record(self.path, "GetText", n)
        return self.props.get("text", "")

    @dbus.service.signal(EVENTS_IFACE, signature="")
    def OnDownloadBegin(self):
        pass

    @dbus.service.signal(EVENTS_IFACE, signature="iiss")
    def OnProgressChanged(self, nBytes, nPercent, strTransferRate, strTimeRemaining):
        pass

    @dbus.service.signal(EVENTS_IFACE, signature="i")
    def OnDownloadComplete(self, nResultCode):
        pass


class CollectionObject(dbus.service.Object):
    def __init__(self, bus, path, items, log):
        super().__init__(bus, path)
        self.path = path
        self.items = items
        self.log = log

    @dbus.service.method(COLLECTION_IFACE, in_signature="", out_signature="i")
    def Count(self):
        self.log.record(self.path, "Count")
        return len(self.items)

    # The contract's Item answers a variant that holds an object path.
    @dbus.service.method(COLLECTION_IFACE, in_signature="i", out_signature="v")
    def Item(self, index):
        self.log.record(self.path, "Item", index)
        if not 1 <= index <= len(self.items):
            raise dbus.exceptions.DBusException(
                "Index %d out of range" % index,
                name=SERVICE_NAME + ".Error.BadIndex")
        return dbus.ObjectPath(self.items[index - 1].path)


class ServiceObject(dbus.service.Object):
    def __init__(self, bus, config, collection, log):
        super().__init__(bus, SERVICE_PATH)
        self.config = config
        self.collection = collection
        self.log = log

    @dbus.service.method(AGENT_IFACE, in_signature="s", out_signature="n")
    def IsConnected(self, strProdCode):
        self.log.record(SERVICE_PATH, "IsConnected", strProdCode)
        return dbus.Int16(self.config.get("connected", contract.TRUE))

    @dbus.service.method(SERVICE_IFACE, in_signature="s", out_signature="o")
    def GetUpdates(self, strProdCode):
        self.log.record(SERVICE_PATH, "GetUpdates", strProdCode)
        return dbus.ObjectPath(self.collection.path)


class ControlObject(dbus.service.Object):
    def __init__(self, bus, items, log, loop):
        super().__init__(bus, CONTROL_PATH)
        self.items = items
        self.log = log
        self.loop = loop

    @dbus.service.method(CONTROL_IFACE, in_signature="", out_signature="s")
    def Calls(self):
        return json.dumps(self.log.calls)

    @dbus.service.method(CONTROL_IFACE, in_signature="iss", out_signature="")
    def Emit(self, index, event, argsJson):
        """Makes item INDEX (from 1) raise EVENT with the JSON list of arguments."""
        item = self.items[index - 1]
        args = json.loads(argsJson)
        if event == "OnDownloadBegin":
            item.OnDownloadBegin()
        elif event == "OnProgressChanged":
            item.OnProgressChanged(dbus.Int32(args[0]), dbus.Int32(args[1]),
                                   dbus.String(args[2]), dbus.String(args[3]))
        elif event == "OnDownloadComplete":
            item.OnDownloadComplete(dbus.Int32(args[0]))
        else:
            raise dbus.exceptions.DBusException("No event " + event)

    @dbus.service.method(CONTROL_IFACE, in_signature="", out_signature="")
    def Quit(self):
        GLib.idle_add(self.loop.quit)


def connect():
    address = os.environ.get("DBUS_STARTER_ADDRESS") or os.environ["DBUS_SESSION_BUS_ADDRESS"]
    bus = dbus.bus.BusConnection(address)
    # Leaving with the bus keeps a dead test from leaving us behind.
    bus.set_exit_on_disconnect(True)
    return bus


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        config = json.load(f)
    if config.get("pidfile"):
        with open(config["pidfile"], "w", encoding="utf-8") as f:
            f.write(str(os.getpid()))

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    loop = GLib.MainLoop()
    bus = connect()
    log = CallLog()
    items = [UpdateItemObject(bus, "%s/Item%d" % (SERVICE_PATH, i + 1), props, log)
             for i, props in enumerate(config.get("items", []))]
    collection = CollectionObject(bus, SERVICE_PATH + "/Updates", items, log)
    service = ServiceObject(bus, config, collection, log)
    control = ControlObject(bus, items, log, loop)
    # Objects first, then the name: a client that sees the owner finds them.
    name = dbus.service.BusName(SERVICE_NAME, bus, do_not_queue=True)

    for sig in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, sig, loop.quit)
    loop.run()
    del name, service, control


if __name__ == "__main__":
    main()

#!/usr/bin/python3
# A stand-in for the desktop's notification service on a private bus: takes the name
# org.freedesktop.Notifications, answers as a server does, and appends every notification it
# is sent to a file as one JSON object a line.
#   notification_service.py BUS_ADDRESS RECORD_FILE CAPABILITY,...
import json
import sys

import dbus
import dbus.bus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

INTERFACE = 'org.freedesktop.Notifications'


class Notifications(dbus.service.Object):
    def __init__(self, bus, record, capabilities):
        super().__init__(bus, '/org/freedesktop/Notifications')
        self.record = record
        self.capabilities = capabilities
        self.last_id = 0

    @dbus.service.method(INTERFACE, in_signature='', out_signature='as')
    def GetCapabilities(self):
        return self.capabilities

    @dbus.service.method(INTERFACE, in_signature='', out_signature='ssss')
    def GetServerInformation(self):
        return ('recorder', 'vardex-tests', '1', '1.2')

    @dbus.service.method(INTERFACE, in_signature='susssasa{sv}i', out_signature='u')
    def Notify(self, app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout):
        self.last_id += 1
        entry = {
            'app_name': str(app_name), 'replaces_id': int(replaces_id), 'summary': str(summary),
            'body': str(body), 'actions': [str(a) for a in actions],
            'urgency': int(hints['urgency']) if 'urgency' in hints else None,
            'desktop_entry': str(hints.get('desktop-entry', '')), 'expire_timeout': int(expire_timeout),
        }
        with open(self.record, 'a', encoding='utf-8') as out:
            out.write(json.dumps(entry, ensure_ascii=False) + '\n')
        return self.last_id

    @dbus.service.method(INTERFACE, in_signature='u', out_signature='')
    def CloseNotification(self, notification_id):
        pass


def main():
    address, record, capabilities = sys.argv[1], sys.argv[2], sys.argv[3]
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(address)
    service = Notifications(bus, record, [c for c in capabilities.split(',') if c])
    # The name last: whoever waits for it finds the object already there.
    name = dbus.service.BusName('org.freedesktop.Notifications', bus)
    GLib.MainLoop().run()
    del service, name


if __name__ == '__main__':
    main()

#!/usr/bin/python3
"""Stand-in desktop services on a private session bus, for what no packaged
service can show headless: the release side of org.freedesktop.PowerManagement
(xfce4-power-manager crashes on it without DPMS), the portal (the real one
serves only sandboxed callers) and services that hang.

    fake_desktop.py ROLE...

Roles: gnome, screensaver, power-management, portal, and gnome-hung (owns
org.gnome.SessionManager and never answers). Like the real services, every
role drops an inhibition when the connection that took it closes.

What is held is listed by org.korvel.TestDesktop.Held() -> a(sssu) (role,
app, reason, flags) on /org/korvel/TestDesktop; the name org.korvel.TestDesktop
is taken last, so a client that sees it knows every role is ready.
ReleaseName(s) gives up one of the roles' names, the process running on.
"""
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
holds = {}  # key -> (role, app, reason, flags, sender)
next_cookie = [1]
keep = []  # bus names and objects must outlive main()


def add_hold(role, app, reason, flags, sender, key=None):
    if key is None:
        key = next_cookie[0]
        next_cookie[0] += 1
    holds[key] = (role, str(app), str(reason), int(flags), str(sender))
    return key


def drop_hold(role, key, sender):
    held = holds.get(key)
    if held and held[0] == role and held[4] == sender:
        del holds[key]


def on_owner_changed(name, old, new):
    if name.startswith(':') and not new:
        for key in [k for k, h in holds.items() if h[4] == name]:
            del holds[key]


bus.add_signal_receiver(on_owner_changed, 'NameOwnerChanged', 'org.freedesktop.DBus',
                        'org.freedesktop.DBus', '/org/freedesktop/DBus')


class Gnome(dbus.service.Object):
    @dbus.service.method('org.gnome.SessionManager', in_signature='susu', out_signature='u',
                         sender_keyword='sender')
    def Inhibit(self, app_id, xid, reason, flags, sender=None):
        if not app_id or flags == 0:
            raise dbus.exceptions.DBusException('refused', name='org.gnome.SessionManager.GeneralError')
        return add_hold('gnome', app_id, reason, flags, sender)

    @dbus.service.method('org.gnome.SessionManager', in_signature='u', sender_keyword='sender')
    def Uninhibit(self, cookie, sender=None):
        drop_hold('gnome', int(cookie), sender)


class HungGnome(dbus.service.Object):
    @dbus.service.method('org.gnome.SessionManager', in_signature='susu', out_signature='u',
                         async_callbacks=('reply', 'error'))
    def Inhibit(self, app_id, xid, reason, flags, reply, error):
        keep.append((reply, error))  # never answered


class ScreenSaver(dbus.service.Object):
    @dbus.service.method('org.freedesktop.ScreenSaver', in_signature='ss', out_signature='u',
                         sender_keyword='sender')
    def Inhibit(self, app, reason, sender=None):
        return add_hold('screensaver', app, reason, 0, sender)

    @dbus.service.method('org.freedesktop.ScreenSaver', in_signature='u', sender_keyword='sender')
    def UnInhibit(self, cookie, sender=None):
        drop_hold('screensaver', int(cookie), sender)


class PowerManagement(dbus.service.Object):
    IFACE = 'org.freedesktop.PowerManagement.Inhibit'

    @dbus.service.method(IFACE, in_signature='ss', out_signature='u', sender_keyword='sender')
    def Inhibit(self, app, reason, sender=None):
        if not app or not reason:
            raise dbus.exceptions.DBusException('empty', name='org.freedesktop.PowerManagement.Inhibit.Error')
        return add_hold('power-management', app, reason, 0, sender)

    @dbus.service.method(IFACE, in_signature='u', sender_keyword='sender')
    def UnInhibit(self, cookie, sender=None):
        drop_hold('power-management', int(cookie), sender)

    @dbus.service.method(IFACE, out_signature='b')
    def HasInhibit(self):
        return any(h[0] == 'power-management' for h in holds.values())

    @dbus.service.method(IFACE, out_signature='as')
    def GetInhibitors(self):
        return [h[1] for h in holds.values() if h[0] == 'power-management']


class PortalRequest(dbus.service.Object):
    def __init__(self, path, key):
        super().__init__(bus, path)
        self.key = key

    @dbus.service.method('org.freedesktop.portal.Request', sender_keyword='sender')
    def Close(self, sender=None):
        drop_hold('portal', self.key, sender)
        self.remove_from_connection()


class Portal(dbus.service.Object):
    @dbus.service.method('org.freedesktop.portal.Inhibit', in_signature='sua{sv}', out_signature='o',
                         sender_keyword='sender')
    def Inhibit(self, window, flags, options, sender=None):
        key = next_cookie[0]
        next_cookie[0] += 1
        path = '/org/freedesktop/portal/desktop/request/%s/korvel%d' % (sender[1:].replace('.', '_'), key)
        add_hold('portal', '', options.get('reason', ''), flags, sender, key)
        keep.append(PortalRequest(path, key))
        return dbus.ObjectPath(path)


class TestDesktop(dbus.service.Object):
    @dbus.service.method('org.korvel.TestDesktop', out_signature='a(sssu)')
    def Held(self):
        return [(h[0], h[1], h[2], dbus.UInt32(h[3])) for h in holds.values()]

    @dbus.service.method('org.korvel.TestDesktop', in_signature='s')
    def ReleaseName(self, name):
        bus.release_name(name)


ROLES = {
    'gnome': ('org.gnome.SessionManager', [('/org/gnome/SessionManager', Gnome)]),
    'gnome-hung': ('org.gnome.SessionManager', [('/org/gnome/SessionManager', HungGnome)]),
    'screensaver': ('org.freedesktop.ScreenSaver', [('/org/freedesktop/ScreenSaver', ScreenSaver)]),
    'power-management': ('org.freedesktop.PowerManagement',
                         [('/org/freedesktop/PowerManagement/Inhibit', PowerManagement)]),
    'portal': ('org.freedesktop.portal.Desktop', [('/org/freedesktop/portal/desktop', Portal)]),
}


def main():
    for role in sys.argv[1:]:
        if role not in ROLES:
            sys.exit('unknown role: ' + role)
        name, objects = ROLES[role]
        for path, cls in objects:
            keep.append(cls(bus, path))
        keep.append(dbus.service.BusName(name, bus, do_not_queue=True))
    keep.append(TestDesktop(bus, '/org/korvel/TestDesktop'))
    keep.append(dbus.service.BusName('org.korvel.TestDesktop', bus, do_not_queue=True))
    GLib.MainLoop().run()


main()

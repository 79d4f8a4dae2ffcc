'''The desktop portal's Inhibit, as python3-dbusmock serves it to the tests.

Inhibit(window, flags, options) opens a request object whose Close ends
the inhibition, as xdg-desktop-portal does.  ListInhibitors gives the
flags and path of each open one, and MaxOpen the most ever open at once.
'''

import dbus

from dbusmock import mockobject

BUS_NAME = 'org.freedesktop.portal.Desktop'
MAIN_OBJ = '/org/freedesktop/portal/desktop'
MAIN_IFACE = 'org.freedesktop.portal.Inhibit'
SYSTEM_BUS = False

REQUEST_IFACE = 'org.freedesktop.portal.Request'

open_requests = {}
most_open = [0]


def load(mock, parameters):
    del parameters
    mock.AddProperty(MAIN_IFACE, 'version', dbus.UInt32(3))


@dbus.service.method(MAIN_IFACE, in_signature='sua{sv}', out_signature='o', sender_keyword='sender')
def Inhibit(self, window, flags, options, sender):
    del window
    token = str(options.get('handle_token', 'token%d' % len(open_requests)))
    path = '/org/freedesktop/portal/desktop/request/%s/%s' % (sender[1:].replace('.', '_'), token)
    self.AddObject(path, REQUEST_IFACE, {}, [
        ('Close', '', '', 'objects["%s"].RemoveCloseHook()' % path),
    ])
    request = mockobject.objects[path]

    def closed():
        open_requests.pop(path, None)
        self.RemoveObject(path)
    request.RemoveCloseHook = closed
    open_requests[path] = int(flags)
    most_open[0] = max(most_open[0], len(open_requests))
    return dbus.ObjectPath(path)


@dbus.service.method(MAIN_IFACE, in_signature='', out_signature='a(uo)')
def ListInhibitors(self):
    del self
    return [(dbus.UInt32(flags), dbus.ObjectPath(path)) for path, flags in open_requests.items()]


@dbus.service.method(MAIN_IFACE, in_signature='', out_signature='u')
def MaxOpen(self):
    del self
    return dbus.UInt32(most_open[0])

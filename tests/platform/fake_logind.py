#!/usr/bin/python3
# A stand-in for the login manager on the bus named by DBUS_SYSTEM_BUS_ADDRESS:
# owns org.freedesktop.login1 and answers Manager.Inhibit with one end of a
# pipe. Prints one line per event, flushed:
#   ready
#   inhibit <n> <what>|<who>|<why>|<mode>
#   released <n>          (the caller closed every copy of lock n)
# A reason of "never answer" gets no reply, to stand for a login manager that hangs.
import os
import sys

from gi.repository import Gio, GLib

INTERFACE = """
<node>
  <interface name="org.freedesktop.login1.Manager">
    <method name="Inhibit">
      <arg name="what" type="s" direction="in"/>
      <arg name="who" type="s" direction="in"/>
      <arg name="why" type="s" direction="in"/>
      <arg name="mode" type="s" direction="in"/>
      <arg name="pipe_fd" type="h" direction="out"/>
    </method>
  </interface>
</node>
"""

held = {}
count = 0
unanswered = []


def say(line):
    print(line, flush=True)


def on_hangup(fd, condition, n):
    say("released %d" % n)
    os.close(fd)
    held.pop(n, None)
    return GLib.SOURCE_REMOVE


def on_call(connection, sender, path, interface, method, params, invocation):
    global count
    what, who, why, mode = params.unpack()
    if why == "never answer":
        unanswered.append(invocation)
        return
    count += 1
    read_end, write_end = os.pipe()
    held[count] = read_end
    GLib.unix_fd_add_full(GLib.PRIORITY_DEFAULT, read_end, GLib.IOCondition.HUP, on_hangup, count)
    say("inhibit %d %s|%s|%s|%s" % (count, what, who, why, mode))
    fds = Gio.UnixFDList.new_from_array([write_end])
    invocation.return_value_with_unix_fd_list(GLib.Variant("(h)", (0,)), fds)


def main():
    bus = Gio.DBusConnection.new_for_address_sync(
        os.environ["DBUS_SYSTEM_BUS_ADDRESS"],
        Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
        None, None)
    info = Gio.DBusNodeInfo.new_for_xml(INTERFACE).interfaces[0]
    bus.register_object("/org/freedesktop/login1", info, on_call, None, None)
    reply = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                          "RequestName", GLib.Variant("(su)", ("org.freedesktop.login1", 4)),
                          GLib.VariantType("(u)"), Gio.DBusCallFlags.NONE, 5000, None)
    if reply.unpack()[0] != 1:
        sys.exit("fake_logind: could not own org.freedesktop.login1")
    say("ready")
    GLib.MainLoop().run()


main()

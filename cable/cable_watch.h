// The cable watch, robot-client's companion under the service manager: it
// follows usb0's carrier and starts the client's target each time the
// cable is plugged in, so that every plug-in deploys, also on a board whose
// usb0 stays while the cable comes and goes (a USB gadget).
//
// The promise: each plug-in (usb0's carrier comes up after it was down)
// starts exactly one deployment; the watch, dpkg, a shutdown, a capture on
// usb0 and a late answer start none.
//
// A plug-in starts kPluggedTarget, which pulls robot-client.service in; an
// unplug stops the target (a running client stays, and starts over by
// itself when the cable comes back). From a plug-in until the client unit
// is inactive with no job pending the watch follows the deployment on
// systemd's socket (cable_bus.h) and tells how the client ended; otherwise
// it only waits in its read of link notifications. A client that ran at
// the plug-in and ends without having seen it (the plug-in fell into its
// final report: its record's carrier-up count is older than the plug-in's)
// is started again, unless it was stopped (by hand, at shutdown). A start
// that got no answer is tried once more a second later; a refusal is not.
//
// No plug-in: a carrier that comes up while the package's maintainer
// scripts run (kDpkgMarkerPath, fresh on the boot clock), or the first one
// of a usb0 that they made, soon after. At the watch's start a cable
// already in counts as a plug-in unless the last watch recorded this same
// carrier-up of this usb0 (kCableRecordPath, written once a plug-in's start
// is queued and at each unplug): a watch started again (an upgrade, a
// crash) starts nothing, but a plug-in while none ran deploys.
//
// What happened shows in `systemctl status robot-client-cable` (STATUS=,
// statusText) and in a NOTICE line.
#pragma once

// Subscribes to link notifications, sets usb0 up (its carrier shows only
// then) and acts on the carrier it finds; tells systemd it is ready in any
// case. The socket to read from, or -1 (logged) when there is none.
int cableWatchStart();

// Reads once from the watch's socket, waiting for notifications, and acts
// on what they tell. False (logged) when the socket cannot be read.
bool cableWatchRead(int fd);

// One step: waits for link notifications, what systemd sends while a
// deployment is followed, and a retry that falls due (wait false: for the
// retry only), then acts on them. 1 when it acted, 0 when nothing came, -1
// (logged) when the socket cannot be read or waited for.
int cableWatchStep(int fd, bool wait);

// Steps until the socket cannot be read: then 1, the watch's exit status,
// so that the service manager starts it again.
int cableWatchRun(int fd);

// The cable watch, robot-client's companion under the service manager: it
// follows usb0's carrier and starts the client's target each time the
// cable is plugged in, so that every plug-in deploys, also on a board whose
// usb0 stays while the cable comes and goes (a USB gadget).
//
// A carrier that comes up is a plug-in: it starts kPluggedTarget, which
// pulls robot-client.service in; an unplug stops the target (a running
// client stays). From a plug-in until the client unit is inactive with no
// job pending the watch follows the deployment on systemd's socket
// (cable_bus.h) and tells how the client ended; otherwise it only waits in
// its read of link notifications. A client that ran at the plug-in and ends
// without having seen it (the plug-in fell into its final report) is
// started again.
//
// At its start a cable already in counts as a plug-in, unless the watch was
// started again for the same usb0 (kCableRecordPath) or the package is being
// installed (kDpkgMarkerPath): see cableInCountsAsPlugIn.
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

// True while a deployment is followed (connected to systemd).
bool cableWatchFollowing();

// One step: while a deployment is followed, acts on what systemd sent, then
// waits for it or for notifications; otherwise reads (blocking, no timer).
// False (logged) when the socket cannot be read.
bool cableWatchStep(int fd);

// Steps until the socket cannot be read: then 1, the watch's exit status,
// so that the service manager starts it again.
int cableWatchRun(int fd);

// The cable watch, robot-client's companion under the service manager: it
// follows usb0's carrier and starts the client's target each time the
// cable is plugged in, so that every plug-in deploys, also on a board whose
// usb0 stays while the cable comes and goes (a USB gadget).
#pragma once

// Started on each plug-in and stopped on each unplug; robot-client.service
// is wanted by it while the client is enabled, and is not stopped with it.
constexpr const char *kPluggedTarget = "robot-client-plugged.target";

// Subscribes to link notifications, sets usb0 up (its carrier shows only
// then) and acts on the carrier it finds: the socket to read from, or -1
// (logged) when there is none.
int cableWatchStart();

// Reads once from the watch's socket, waiting for notifications, and acts
// on what they tell: a plug-in starts kPluggedTarget, an unplug stops it.
void cableWatchRead(int fd);

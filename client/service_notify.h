// The client's word to the service manager: its status text, sent as
// systemd's notification protocol defines it (sd_notify(3)), without
// libsystemd, whose dependencies have no place in a root process that
// parses the manager's input.
#pragma once

// Sends "STATUS=<text>" in one datagram to the socket that $NOTIFY_SOCKET
// names (a path, or an abstract name written with a leading '@'). Nothing
// happens without one; a failed send is ignored, as sd_notify's callers do.
void notifyStatus(const char *text);

// The client's exit statuses, which the cable watch reads back from systemd
// (ExecMainStatus) to tell how a deployment ended, and the unit's
// RestartPreventExitStatus= names.
#pragma once

// Every orderly end: the run finished, the manager ordered the exit, SIGINT.
constexpr int kExitOk = 0;
// Another robot-client holds the single-instance lock: this one never ran.
constexpr int kExitLocked = 1;
// A command line that asks for something the daemon does not do.
constexpr int kExitUsage = 2;
// libev has no back-end for the flags LIBEV_FLAGS asked for.
constexpr int kExitNoLoop = 3;
// The deployment ended in order, but a copy of its last round failed: the
// manager ran the old application, or a half-copied one.
constexpr int kExitCopyFailed = 4;

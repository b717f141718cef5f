// The one event loop; every watcher of the client lives on it.
#pragma once

#include <ev.h>

// The default loop, set by main before any watcher starts.
extern struct ev_loop *g_loop;

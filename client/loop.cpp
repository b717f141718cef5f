#include "client/loop.h"

struct ev_loop *g_loop = nullptr;

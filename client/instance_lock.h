// The single-instance lock: one robot-client per board drives usb0.
#pragma once

#include "record/run_paths.h"

enum class InstanceLock {
    kTaken,       // this process holds the lock for the rest of its life
    kHeld,        // another process holds it: this one must not start
    kUnavailable, // it cannot be made here: run on without it
};

// Makes dir (0755) if missing, opens path in it and takes an exclusive flock
// without waiting; logs an ERR line when the lock is held, a WARN line when it
// cannot be made. The descriptor stays open (close-on-exec) for the life of
// the process. main passes kRunDir and kLockPath; tests pass their own.
InstanceLock takeInstanceLock(const char *dir, const char *path);

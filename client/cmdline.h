// The command line: the daemon takes no arguments; --help and --version only
// print.
#pragma once

#include "record/exit_status.h"

// Handles argv before anything else happens: -1 when there are no arguments
// and the daemon is to run; otherwise it prints the usage (--help, on stdout),
// the version (--version, on stdout) or the usage after a complaint (anything
// else, on stderr) and returns the exit status (0, 0, kExitUsage).
int handleCmdline(int argc, char *const argv[]);

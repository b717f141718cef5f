// Every shell command the client runs goes through here.
#pragma once

// Drops the page cache once the application has been handed over.
constexpr const char *kDropCachesCmd = "echo 1 > /proc/sys/vm/drop_caches";

// Runs cmd with "sh -c", waits for it and returns its wait status, or -1 when
// no shell could be started. Output goes to the client's own stdout and
// stderr. As under system(), SIGQUIT is ignored meanwhile; unlike system(), a
// SIGINT that arrives meanwhile is kept pending and delivered once the command
// has ended, so it is not lost.
int runShell(const char *cmd);

// The exit status of a wait status as a shell reports it: the exit code, or
// 128 plus the signal number; -1 when no shell ran.
int shellExitStatus(int waitStatus);

#include "client/shell.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

constexpr const char *kShell = "/bin/sh";

// Undoes the signal mask change on every path.
class SignalMaskGuard {
  public:
    explicit SignalMaskGuard(const sigset_t &block) { sigprocmask(SIG_BLOCK, &block, &saved_); }
    ~SignalMaskGuard() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }
    SignalMaskGuard(const SignalMaskGuard &) = delete;
    SignalMaskGuard &operator=(const SignalMaskGuard &) = delete;
    SignalMaskGuard(SignalMaskGuard &&) = delete;
    SignalMaskGuard &operator=(SignalMaskGuard &&) = delete;

    [[nodiscard]] const sigset_t &saved() const { return saved_; }

  private:
    sigset_t saved_{};
};

// Ignores SIGQUIT, as system() does, until the command is over: the quit key
// on the terminal ends the command, not the client.
class QuitIgnoredGuard {
  public:
    QuitIgnoredGuard()
    {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGQUIT, &ignore, &saved_);
    }
    ~QuitIgnoredGuard() { sigaction(SIGQUIT, &saved_, nullptr); }
    QuitIgnoredGuard(const QuitIgnoredGuard &) = delete;
    QuitIgnoredGuard &operator=(const QuitIgnoredGuard &) = delete;
    QuitIgnoredGuard(QuitIgnoredGuard &&) = delete;
    QuitIgnoredGuard &operator=(QuitIgnoredGuard &&) = delete;

  private:
    struct sigaction saved_ {};
};

class SpawnAttr {
  public:
    SpawnAttr() { posix_spawnattr_init(&attr_); }
    ~SpawnAttr() { posix_spawnattr_destroy(&attr_); }
    SpawnAttr(const SpawnAttr &) = delete;
    SpawnAttr &operator=(const SpawnAttr &) = delete;
    SpawnAttr(SpawnAttr &&) = delete;
    SpawnAttr &operator=(SpawnAttr &&) = delete;

    posix_spawnattr_t *get() { return &attr_; }

  private:
    posix_spawnattr_t attr_{};
};

} // namespace

int runShell(const char *cmd)
{
    // As system() does, SIGCHLD is held back while we wait for our own child;
    // SIGINT is held back too, not ignored, so that it is still delivered to
    // the event loop's handler when the command is over.
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGCHLD);
    const SignalMaskGuard mask(block);
    const QuitIgnoredGuard quit;

    // The child starts with the mask we had; exec gives it the default
    // action for every signal we catch, and SIGQUIT's default is given back
    // explicitly, so the interrupt or quit key on the terminal still stops
    // the command as it would under system().
    SpawnAttr attr;
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGQUIT);
    posix_spawnattr_setsigmask(attr.get(), &mask.saved());
    posix_spawnattr_setsigdefault(attr.get(), &defaults);
    posix_spawnattr_setflags(attr.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::array<char, 3> shName{'s', 'h', '\0'};
    std::array<char, 3> dashC{'-', 'c', '\0'};
    std::array<char *, 4> argv{shName.data(), dashC.data(), const_cast<char *>(cmd), nullptr};

    pid_t pid = 0;
    if (posix_spawn(&pid, kShell, nullptr, attr.get(), argv.data(), environ) != 0)
        return -1;

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

int shellExitStatus(int waitStatus)
{
    if (waitStatus == -1)
        return -1;
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus))
        return 128 + WTERMSIG(waitStatus);
    return -1;
}

#include "tests/unit/run_client.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

std::pair<int, std::string> runClient(const std::string &args, const std::string &stopAt)
{
    using namespace std::chrono;
    FILE *pipe = popen(("echo $$; exec setpriv --pdeathsig KILL " ROBOT_CLIENT_BIN " " + args).c_str(), "r");
    const auto deadline = steady_clock::now() + seconds(10);
    std::string text;
    pid_t pid = 0;
    bool stopping = stopAt.empty();
    for (pollfd out{fileno(pipe), POLLIN, 0};;) {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0 || poll(&out, 1, static_cast<int>(left)) <= 0) {
            if (pid > 0)
                kill(pid, SIGKILL);
            text += "[still running after 10 s]";
            break;
        }
        char chunk[4096];
        const ssize_t got = read(out.fd, chunk, sizeof(chunk));
        if (got <= 0)
            break;
        text.append(chunk, static_cast<size_t>(got));
        if (pid == 0 && text.find('\n') != std::string::npos)
            pid = std::stoi(text);
        if (!stopping && pid > 0 && text.find(stopAt) != std::string::npos)
            stopping = kill(pid, SIGINT) == 0;
    }
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text.substr(text.find('\n') + 1)};
}

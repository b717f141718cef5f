#include "tests/unit/run_client.h"

#include <csignal>
#include <cstdio>
#include <sys/wait.h>

std::pair<int, std::string> runClient(const std::string &args, const std::string &stopAt)
{
    // timeout passes the SIGINT on to the client, and kills a client that
    // still runs after 10 s: status 137.
    FILE *pipe = popen(
        ("echo $$; exec timeout -s KILL 10 setpriv --pdeathsig KILL " ROBOT_CLIENT_BIN " " + args).c_str(),
        "r");
    std::string text;
    char line[4096];
    for (bool stopping = stopAt.empty(); fgets(line, sizeof(line), pipe) != nullptr;) {
        text += line;
        if (!stopping && text.find(stopAt) != std::string::npos)
            stopping = kill(std::stoi(text), SIGINT) == 0;
    }
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text.substr(text.find('\n') + 1)};
}

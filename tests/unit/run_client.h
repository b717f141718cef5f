// The built client as a process of its own, in the test's namespaces.
#pragma once

#include <string>
#include <utility>

// Runs the client with args and redirections (killed with the test), stops
// it with SIGINT once its output holds stopAt, and kills it if it still runs
// 10 s after the start (status 137): its exit status (-1 after a signal) and
// its output.
std::pair<int, std::string> runClient(const std::string &args, const std::string &stopAt = "");

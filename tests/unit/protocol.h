// The manager protocol as the tests write it.
#pragma once

#include <string>

// A message of the protocol: {"cmd":"<cmd>"}.
inline std::string json(const std::string &cmd)
{
    return R"({"cmd":")" + cmd + R"("})";
}

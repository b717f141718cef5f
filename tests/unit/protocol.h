// The manager protocol as the tests write it, and the rows of their tables.
#pragma once

#include <concepts>
#include <ostream>
#include <string>

// A message of the protocol: {"cmd":"<cmd>"}.
inline std::string json(const std::string &cmd)
{
    return R"({"cmd":")" + cmd + R"("})";
}

// A row of a parameterised test: one test, named for the behaviour it checks.
struct Case {
    const char *behaviour;
};
inline std::string behaviourOf(const auto &info)
{
    return info.param.behaviour;
}
// A row prints as its name, in ctest's list and in a failure's report.
template <typename Row>
requires std::derived_from<Row, Case>
void PrintTo(const Row &row, std::ostream *os)
{
    *os << row.behaviour;
}

// Captures what the code under test writes to standard output, and small
// helpers for comparing it.
#pragma once

#include <string>

namespace testsupport {

// Captures fd 1 (stdout) or 2 (stderr) from construction to destruction.
class OutputCapture {
  public:
    explicit OutputCapture(int fd = 1);
    ~OutputCapture();
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;
    // Everything written so far (flushes first); capturing goes on.
    std::string text() const;

  private:
    int fd_, saved_, file_;
};

// What an operator reads: "LEVEL: message" without colours and time stamps,
// DEBUG lines left out, other output as written.
std::string plain(const std::string &text);

} // namespace testsupport

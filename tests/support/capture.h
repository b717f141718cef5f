// Captures what the code under test writes to standard output or error.
#pragma once

#include <string>

namespace testsupport {

class OutputCapture {
  public:
    // fd 1 (stdout) or 2 (stderr); capturing starts at once.
    explicit OutputCapture(int fd = 1);
    ~OutputCapture();
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;

    // Everything written so far (flushes stdout first); capturing goes on.
    std::string text();

  private:
    int fd_;
    int saved_;
    int file_;
};

} // namespace testsupport

#include "tests/support/capture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <unistd.h>

namespace testsupport {

OutputCapture::OutputCapture(int fd) : fd_(fd), saved_(dup(fd)), file_(fileno(tmpfile()))
{
    fflush(nullptr);
    dup2(file_, fd_);
}

OutputCapture::~OutputCapture()
{
    fflush(nullptr);
    dup2(saved_, fd_);
    close(saved_);
}

std::string OutputCapture::text() const
{
    fflush(nullptr);
    std::string out(static_cast<size_t>(lseek(file_, 0, SEEK_END)), '\0');
    return out.substr(0, static_cast<size_t>(std::max<ssize_t>(0, pread(file_, out.data(), out.size(), 0))));
}

std::string plain(const std::string &text)
{
    const std::string shown =
        std::regex_replace(text, std::regex(R"(\x1b\[[0-9;]*m\[[-0-9: ]+\] DEBUG: [^\n]*\n)"), "");
    return std::regex_replace(shown, std::regex(R"(\x1b\[[0-9;]*m(\[[-0-9: ]+\] )?)"), "");
}

} // namespace testsupport

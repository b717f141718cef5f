#include "tests/support/capture.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace testsupport {

OutputCapture::OutputCapture(int fd) : fd_(fd), saved_(-1), file_(-1)
{
    fflush(stdout);
    fflush(stderr);
    char path[] = "/tmp/rc-capture-XXXXXX";
    file_ = mkstemp(path);
    unlink(path);
    saved_ = dup(fd_);
    dup2(file_, fd_);
}

OutputCapture::~OutputCapture()
{
    fflush(stdout);
    dup2(saved_, fd_);
    close(saved_);
    close(file_);
}

std::string OutputCapture::text()
{
    fflush(stdout);
    fflush(stderr);
    std::string out;
    char chunk[4096];
    off_t offset = 0;
    ssize_t got = 0;
    while ((got = pread(file_, chunk, sizeof(chunk), offset)) > 0) {
        out.append(chunk, static_cast<size_t>(got));
        offset += got;
    }
    return out;
}

} // namespace testsupport

#include "stderr_capture.h"

#include "descriptors.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace qn::test {

StderrCapture::StderrCapture()
{
    const int error = errno;
    std::fflush(stderr);
    saved_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    // With 2 closed, the new file would take number 2 and be closed again by
    // the dup2 onto itself below: keep it above the standard descriptors.
    const int created = ::memfd_create("stderr-capture", MFD_CLOEXEC);
    file_ = created >= 0 && created <= STDERR_FILENO ? ::fcntl(created, F_DUPFD_CLOEXEC, 3) : created;
    if (created >= 0 && created != file_)
        ::close(created);
    active_ = file_ >= 0 && ::dup2(file_, STDERR_FILENO) == STDERR_FILENO;
    errno = error;
}

StderrCapture::~StderrCapture() { finish(); }

std::string StderrCapture::finish()
{
    if (!active_) {
        if (file_ >= 0)
            ::close(file_);
        file_ = -1;
        return "";
    }
    const int error = errno;
    std::fflush(stderr);
    active_ = false;
    if (saved_ >= 0) {
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        saved_ = -1;
    } else {
        ::close(STDERR_FILENO);
    }
    std::string text = read_from_start(file_);
    ::close(file_);
    file_ = -1;
    errno = error;
    return text;
}

std::string capture_stderr(const std::function<void()> &fn)
{
    StderrCapture capture;
    fn();
    return capture.finish();
}

}  // namespace qn::test

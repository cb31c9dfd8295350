#include "tests/support/PtyPair.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

TPtyPair::TPtyPair() {
    char name[256] = {};
    termios raw{};
    ::cfmakeraw(&raw);
    if (::openpty(&MasterFd, &SlaveFd, name, &raw, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    ::fcntl(MasterFd, F_SETFD, FD_CLOEXEC);
    ::fcntl(SlaveFd, F_SETFD, FD_CLOEXEC);
    Path = name;
}

TPtyPair::~TPtyPair() {
    CloseMaster();
    ::close(SlaveFd);
}

void TPtyPair::CloseMaster() {
    if (MasterFd >= 0) {
        ::close(MasterFd);
        MasterFd = -1;
    }
}

bool TPtyPair::WaitForSlaveInput(std::chrono::milliseconds limit) const {
    pollfd pfd{SlaveFd, POLLIN, 0};
    return ::poll(&pfd, 1, static_cast<int>(limit.count())) > 0 && (pfd.revents & POLLIN);
}

int TPtyPair::SlaveInputPending() const {
    int pending = 0;
    return ::ioctl(SlaveFd, FIONREAD, &pending) == 0 ? pending : -1;
}

std::string TPtyPair::ReadMaster(std::size_t count, std::chrono::milliseconds limit) const {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + limit;
    std::string bytes;
    while (bytes.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        pollfd pfd{MasterFd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        char chunk[512];
        const ssize_t n = ::read(MasterFd, chunk, std::min(sizeof chunk, count - bytes.size()));
        if (n <= 0) {
            break;
        }
        bytes.append(chunk, static_cast<std::size_t>(n));
    }
    return bytes;
}

void WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ADD_FAILURE() << "write to the pseudo-terminal failed: errno " << errno;
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

// Serial devices on POSIX systems: termios on the device path.

#include "link/SerialDevice.h"
#include "link/SerialTermios.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct TSpeed {
    std::int32_t Baudrate;
    speed_t Code;
};

constexpr TSpeed Speeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000},
};

bool SpeedCode(std::int32_t baudrate, speed_t& code) {
    for (const TSpeed& speed : Speeds) {
        if (speed.Baudrate == baudrate) {
            code = speed.Code;
            return true;
        }
    }
    return false;
}

tcflag_t CharacterSize(std::int32_t dataBits) {
    switch (dataBits) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

// Descriptor that closes itself unless handed on.
class TFd {
public:
    explicit TFd(int fd) : Fd(fd) {}
    ~TFd() {
        if (Fd >= 0) {
            ::close(Fd);
        }
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return Fd; }
    int Release() {
        const int fd = Fd;
        Fd = -1;
        return fd;
    }

private:
    int Fd;
};

// The group that owns the device: the one whose members may open it.
std::string OwningGroup(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return {};
    }
    std::vector<char> buffer(4096);
    group entry{};
    group* found = nullptr;
    if (::getgrgid_r(status.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return {};
    }
    return found->gr_name;
}

TOpenError OpenFailure(int error, const std::string& path) {
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO: // a serial port without its hardware
        return {TOpenFailure::NoDevice, {}};
    case EACCES:
    case EPERM:
        return {TOpenFailure::PermissionDenied, OwningGroup(path)};
    case EBUSY:
    case EWOULDBLOCK:
        return {TOpenFailure::InUse, {}};
    case ENOTTY:
        return {TOpenFailure::NotSerial, {}};
    default:
        return {TOpenFailure::Other, std::strerror(error)};
    }
}

TOpenFailure Configure(int fd, const TLineSettings& settings) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        return TOpenFailure::NotSerial;
    }
    if (!ApplyLineSettings(tio, settings)) {
        return TOpenFailure::Baudrate;
    }
    // Parts the driver cannot do (a pseudo-terminal keeps no parity) are left to it, but a
    // line that does not run at the asked speed cannot talk to anything.
    (void)::tcsetattr(fd, TCSANOW, &tio);
    termios applied{};
    if (::tcgetattr(fd, &applied) != 0 || ::cfgetispeed(&applied) != ::cfgetispeed(&tio) ||
        ::cfgetospeed(&applied) != ::cfgetospeed(&tio)) {
        return TOpenFailure::Baudrate;
    }
    // Raise DTR and RTS; a pseudo-terminal has no modem lines and says so, which is fine.
    int lines = TIOCM_DTR | TIOCM_RTS;
    (void)::ioctl(fd, TIOCMBIS, &lines);
    return TOpenFailure::None;
}

} // namespace

bool ApplyLineSettings(termios& tio, const TLineSettings& settings) {
    speed_t speed = 0;
    if (!SpeedCode(settings.Baudrate, speed)) {
        return false;
    }
    ::cfmakeraw(&tio);
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0) {
        return false;
    }
    tio.c_cflag |= CREAD | CLOCAL;
    tio.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    tio.c_cflag |= CharacterSize(settings.DataBits);
    if (settings.StopBits == 2) {
        tio.c_cflag |= CSTOPB;
    }
    tio.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY);
    switch (settings.Parity) {
    case 1: // odd
        tio.c_cflag |= PARENB | PARODD;
        break;
    case 2: // even
        tio.c_cflag |= PARENB;
        break;
    case 3: // mark
        tio.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case 4: // space
        tio.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (tio.c_cflag & PARENB) {
        tio.c_iflag |= INPCK;
    }
    if (settings.FlowControl == 2) {
        tio.c_cflag |= CRTSCTS;
    } else if (settings.FlowControl == 1) {
        tio.c_iflag |= IXON | IXOFF;
        tio.c_cc[VSTART] = 0x11;
        tio.c_cc[VSTOP] = 0x13;
    }
    // Reads return at once with what has arrived; the read loop does the waiting.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    return true;
}

std::unique_ptr<TSerialDevice>
TSerialDevice::Open(const std::string& path, const TLineSettings& settings, TOpenError& error) {
    TFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.Get() < 0) {
        error = OpenFailure(errno, path);
        return nullptr;
    }
    // TIOCEXCL keeps other users out but not root; the advisory lock covers that too.
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd.Get(), TIOCEXCL) != 0) {
        error = OpenFailure(errno, path);
        return nullptr;
    }
    if (const TOpenFailure failure = Configure(fd.Get(), settings); failure != TOpenFailure::None) {
        error = {failure, {}};
        return nullptr;
    }
    return std::unique_ptr<TSerialDevice>(new TSerialDevice(fd.Release()));
}

TSerialDevice::~TSerialDevice() {
    (void)::ioctl(Fd, TIOCNXCL);
    ::close(Fd);
}

std::int32_t TSerialDevice::Write(const char* bytes, std::int32_t count) {
    std::int32_t written = 0;
    while (written < count) {
        const ssize_t n = ::write(Fd, bytes + written, static_cast<size_t>(count - written));
        if (n > 0) {
            written += static_cast<std::int32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            break;
        }
        // Output queue full (or held by flow control): wait until it drains. A write has no
        // timeout, but a device that fails or hangs up ends it.
        pollfd pfd{Fd, POLLOUT, 0};
        if (::poll(&pfd, 1, -1) < 0 && errno != EINTR) {
            break;
        }
        if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            break;
        }
    }
    return written;
}

std::int32_t TSerialDevice::ReadAvailable(char* buffer, std::int32_t count) {
    if (count <= 0) {
        return 0;
    }
    const ssize_t n = ::read(Fd, buffer, static_cast<size_t>(count));
    return n > 0 ? static_cast<std::int32_t>(n) : 0;
}

void TSerialDevice::WaitForInput(std::chrono::nanoseconds wait) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + wait;
    if (wait <= std::chrono::nanoseconds::zero()) {
        return;
    }
    pollfd pfd{Fd, POLLIN, 0};
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
    const timespec limit{static_cast<time_t>(seconds.count()),
                         static_cast<long>((wait - seconds).count())};
    const int ready = ::ppoll(&pfd, 1, &limit, nullptr);
    if (ready > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) {
        std::this_thread::sleep_until(end);
    }
}

bool TSerialDevice::PurgeInput() {
    return ::tcflush(Fd, TCIFLUSH) == 0;
}

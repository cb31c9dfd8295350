#pragma once

// The system's end of the line as the simulator's tests drive it: the pty slave in raw mode at
// a chosen speed, and frames of both protocols built here, apart from sim/. The test-side
// checksums are pinned to published check values and to frames computed with python3's
// binascii.crc_hqx (CrcTest.cpp).

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <initializer_list>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// Longest wait for a reply the simulator owes; far above its answer time, even instrumented.
inline constexpr auto ReplyLimit = 3s;
// How long "no reply" is watched for. The system itself gives up after 1000 ms.
inline constexpr auto SilenceWatch = 400ms;
// Pause between frames, so that the device sees the end of the line's activity.
inline constexpr auto InterFrameGap = 20ms;

inline std::uint16_t TestCrcModbus(const Bytes& bytes) {
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) {
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    return crc;
}

inline std::uint16_t TestCrcCcitt(const Bytes& bytes, std::size_t from = 0) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t k = from; k < bytes.size(); ++k) {
        crc ^= static_cast<std::uint16_t>(bytes[k] << 8);
        for (int i = 0; i < 8; ++i) {
            crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<std::uint16_t>(crc << 1);
        }
    }
    return crc;
}

inline void PutLe(Bytes& bytes, std::uint16_t v) {
    bytes.push_back(static_cast<std::uint8_t>(v & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(v >> 8));
}

inline void PutBe(Bytes& bytes, std::uint16_t v) {
    bytes.push_back(static_cast<std::uint8_t>(v >> 8));
    bytes.push_back(static_cast<std::uint8_t>(v & 0xFF));
}

// A Modbus RTU frame: the body and its CRC, low byte first.
inline Bytes Rtu(Bytes body) {
    PutLe(body, TestCrcModbus(body));
    return body;
}

inline Bytes ReadRequest(std::uint8_t slave, std::uint16_t reg, std::uint16_t count) {
    Bytes body{slave, 3};
    PutBe(body, reg);
    PutBe(body, count);
    return Rtu(body);
}

inline Bytes WriteOneRequest(std::uint8_t slave, std::uint16_t reg, std::uint16_t value) {
    Bytes body{slave, 6};
    PutBe(body, reg);
    PutBe(body, value);
    return Rtu(body);
}

inline Bytes WriteManyRequest(std::uint8_t slave, std::uint16_t reg,
                              const std::vector<std::uint16_t>& values) {
    Bytes body{slave, 16};
    PutBe(body, reg);
    PutBe(body, static_cast<std::uint16_t>(values.size()));
    body.push_back(static_cast<std::uint8_t>(2 * values.size()));
    for (std::uint16_t v : values) {
        PutBe(body, v);
    }
    return Rtu(body);
}

// "KOVA_BSL", its zero byte and a zero pad, two characters per register, the first one low.
inline const std::vector<std::uint16_t> Activation{0x4F4B, 0x4156, 0x425F, 0x4C53, 0x0000};

// Expected answer to a read: slave, 3, byte count, the values high byte first, CRC.
inline Bytes ReadReply(std::uint8_t slave, const std::vector<std::uint16_t>& values) {
    Bytes body{slave, 3, static_cast<std::uint8_t>(2 * values.size())};
    for (std::uint16_t v : values) {
        PutBe(body, v);
    }
    return Rtu(body);
}

inline Bytes ExceptionReply(std::uint8_t slave, std::uint8_t function, std::uint8_t code) {
    return Rtu({slave, static_cast<std::uint8_t>(function | 0x80), code});
}

// A "DL" frame, fields little-endian, CRC over everything behind "DL".
inline Bytes Dl(std::uint16_t code, std::uint16_t address,
                const std::vector<std::uint16_t>& words = {}) {
    Bytes frame{'D', 'L'};
    PutLe(frame, code);
    PutLe(frame, address);
    for (std::uint16_t w : words) {
        PutLe(frame, w);
    }
    PutLe(frame, TestCrcCcitt(frame, 2));
    return frame;
}

// The first six bytes: slave, function and the register echo of a Modbus write, or "DL",
// code and address of a loader frame.
inline Bytes Head(const Bytes& frame) {
    return Bytes(frame.begin(), frame.begin() + std::min<std::size_t>(6, frame.size()));
}

// The 32 words of a read reply.
inline std::vector<std::uint16_t> WordsOf(const Bytes& reply) {
    std::vector<std::uint16_t> words;
    for (std::size_t i = 6; i + 3 < reply.size(); i += 2) {
        words.push_back(static_cast<std::uint16_t>(reply[i] | (reply[i + 1] << 8)));
    }
    return words;
}

inline speed_t SpeedCode(int baud) {
    switch (baud) {
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    default:
        ADD_FAILURE() << "no speed code for " << baud;
        return B19200;
    }
}

class TestLine {
public:
    TestLine(const std::string& path, int baud) {
        Fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (Fd < 0) {
            ADD_FAILURE() << "cannot open " << path;
            return;
        }
        termios t{};
        tcgetattr(Fd, &t);
        cfmakeraw(&t);
        tcsetattr(Fd, TCSANOW, &t);
        SetBaud(baud);
    }
    ~TestLine() {
        if (Fd >= 0) {
            ::close(Fd);
        }
    }
    TestLine(const TestLine&) = delete;
    TestLine& operator=(const TestLine&) = delete;

    void SetBaud(int baud) const {
        termios t{};
        tcgetattr(Fd, &t);
        cfsetspeed(&t, SpeedCode(baud));
        tcsetattr(Fd, TCSANOW, &t);
    }

    void Send(const Bytes& bytes) const {
        ASSERT_EQ(::write(Fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Bytes until count have come or limit has passed; a hang-up ends it early.
    Bytes Receive(std::size_t count, std::chrono::milliseconds limit = ReplyLimit) const {
        Bytes got;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (got.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{Fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            std::uint8_t chunk[512];
            const ssize_t n = ::read(Fd, chunk, std::min(sizeof chunk, count - got.size()));
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }

    // One request, then its reply of the given length.
    Bytes Exchange(const Bytes& request, std::size_t replyLength) const {
        Send(request);
        return Receive(replyLength);
    }

    // Nothing at all arrives while the line is watched.
    bool StaysSilent() const { return Receive(1, SilenceWatch).empty(); }

    int Handle() const { return Fd; }

private:
    int Fd = -1;
};

// A directory of its own for one test's files, removed with everything in it.
class TempDir {
public:
    explicit TempDir(const std::string& name)
        : Path(std::filesystem::temp_directory_path() / (name + "-" + std::to_string(getpid()))) {
        std::filesystem::create_directories(Path);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(Path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::filesystem::path operator/(const std::string& file) const { return Path / file; }

private:
    std::filesystem::path Path;
};

// Polls a condition (the simulator's counters, say) until it holds or the limit has passed.
template <class Condition>
bool Eventually(Condition condition, std::chrono::milliseconds limit = ReplyLimit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        usleep(1000);
    }
    return true;
}

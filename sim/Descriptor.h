#pragma once

#include <unistd.h>
#include <utility>

namespace sim {

// Owns one file descriptor.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : Fd(fd) {}
    ~Descriptor() { Reset(); }
    Descriptor(Descriptor&& other) noexcept : Fd(std::exchange(other.Fd, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            Reset(std::exchange(other.Fd, -1));
        }
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int Get() const { return Fd; }
    bool Valid() const { return Fd >= 0; }
    void Reset(int fd = -1) {
        if (Fd >= 0) {
            ::close(Fd);
        }
        Fd = fd;
    }

private:
    int Fd = -1;
};

} // namespace sim

#pragma once

#include <chrono>
#include <cstddef>
#include <string>

// A pseudo-terminal standing in for a serial line. The system opens SlavePath() as it would
// open /dev/ttyUSB0; the test (or a peer) talks on the master side. The pair keeps its own
// descriptor of the slave open so the line stays up while the system closes and reopens it.
class TPtyPair {
public:
    TPtyPair(); // throws std::runtime_error when no pseudo-terminal can be had
    ~TPtyPair();
    TPtyPair(const TPtyPair&) = delete;
    TPtyPair& operator=(const TPtyPair&) = delete;

    int Master() const { return MasterFd; }
    // The pair's own descriptor of the system's side, for looking at the line settings.
    int Slave() const { return SlaveFd; }
    const std::string& SlavePath() const { return Path; }

    // The far end disappears: the system's side of the line hangs up.
    void CloseMaster();

    // Waits until the system's side holds at least one unread byte (readiness, not a sleep).
    bool WaitForSlaveInput(std::chrono::milliseconds limit) const;
    // Number of bytes waiting to be read on the system's side.
    int SlaveInputPending() const;
    // Reads from the master side until count bytes have come or limit has passed.
    std::string ReadMaster(std::size_t count, std::chrono::milliseconds limit) const;

private:
    int MasterFd = -1;
    int SlaveFd = -1;
    std::string Path;
};

// Writes all bytes to a descriptor, failing the running test when it cannot.
void WriteAll(int fd, const std::string& bytes);

#pragma once

// What a platform back end gives TSerialPort: one open serial device with its line format.
// Exactly one back end is compiled per platform (SerialportPosix.cpp here, SerialportWin32.cpp
// on Windows); the platform-neutral logic stays in Serialport.cpp.

#include "link/Serialport.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

struct TLineSettings {
    std::int32_t Baudrate = 19200;
    std::int32_t DataBits = 8;
    std::int32_t StopBits = 1;
    std::uint8_t Parity = 0;
    std::uint8_t FlowControl = 0;
};

class TSerialDevice {
public:
    // Opens the device exclusively and gives it the line format. Null when the device is
    // missing, held by another program, not a serial device, or cannot run at the baud rate;
    // error then says which.
    static std::unique_ptr<TSerialDevice> Open(const std::string& path,
                                               const TLineSettings& settings, TOpenError& error);
    ~TSerialDevice();
    TSerialDevice(const TSerialDevice&) = delete;
    TSerialDevice& operator=(const TSerialDevice&) = delete;

    // Returns the number of bytes the device took; stops early only on a failing device.
    std::int32_t Write(const char* bytes, std::int32_t count);
    // Takes what has already arrived, at most count bytes, without waiting; 0 on failure.
    std::int32_t ReadAvailable(char* buffer, std::int32_t count);
    // Returns when input is ready or after at most wait; a device that reports readiness it
    // cannot deliver (a hung-up line) costs the whole wait, so callers never spin.
    void WaitForInput(std::chrono::nanoseconds wait);
    bool PurgeInput();

private:
#ifdef _WIN32
    explicit TSerialDevice(void* handle) : Handle(handle) {}
    void* Handle;
#else
    explicit TSerialDevice(int fd) : Fd(fd) {}
    int Fd;
#endif
};

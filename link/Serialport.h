#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

// Where a "COMn" name leads on this system. The front ends fill the map (the settings
// file's section "Ports", the command line's --port); a name without an entry falls back
// to the platform's own convention.
void MapPort(const std::string& comName, const std::string& devicePath);
void ClearPortMap();
std::string DevicePathOf(const std::string& comName);

class TSerialDevice; // platform back end: SerialportPosix.cpp, SerialportWin32.cpp

// Why the last Open failed, for a front end that says more than "couldn't open".
enum class TOpenFailure {
    None,             // the port opened, or no open was tried
    NotComName,       // the port name is no "COMn"
    NoDevice,         // nothing at the device path
    PermissionDenied, // Detail names the group that owns the device, where there is one
    InUse,            // another program holds the device
    NotSerial,        // the path is no serial device
    Baudrate,         // the device cannot run at the baud rate
    Other             // Detail holds the system's text
};

struct TOpenError {
    TOpenFailure Kind = TOpenFailure::None;
    std::string Detail;
};

// True for the baud rates serial lines run at (50 to 2000000 baud, the standard steps).
bool IsLineBaudrate(std::int32_t baudrate);

class TSerialPort {
public:
    // Reply timeout that SetPort gives a "COM" port.
    static constexpr std::chrono::milliseconds ReplyTimeout{1000};
    // Longest wait of one pass of the read loop.
    static constexpr std::chrono::milliseconds ReadPass{10};

    TSerialPort();
    ~TSerialPort(); // releases the device if a caller left it open
    TSerialPort(const TSerialPort&) = delete;
    TSerialPort& operator=(const TSerialPort&) = delete;

    void SetPort(const std::string& name);
    void SetBaudrate(std::int32_t baudrate);
    void SetDataBits(std::int32_t dataBits);
    void SetStopBits(std::int32_t stopBits);
    void SetParity(std::uint8_t parity);
    void SetFlowControl(std::uint8_t flowControl);

    bool Open();
    void Close();
    std::int32_t Write(const char* bytes, std::int32_t count); // bytes NOT written
    std::int32_t Read(char* buffer, std::int32_t count);       // bytes received
    bool IsOpen() const;
    bool PurgeInput();
    std::int32_t TransmitTime(std::int32_t characters) const; // milliseconds

    const TOpenError& GetOpenError() const { return OpenError; }
    const std::string& GetPort() const { return Port; }
    std::int32_t GetBaudrate() const { return Baudrate; }
    std::int32_t GetDataBits() const { return DataBits; }
    std::int32_t GetStopBits() const { return StopBits; }
    std::uint8_t GetParity() const { return Parity; }
    std::uint8_t GetFlowControl() const { return FlowControl; }
    std::chrono::milliseconds GetTimeout() const { return Timeout; }

    // A shorter wait for replies than a COM port's: the line search, whose frames are short and
    // known, and tests that must not wait out the full timeout. SetPort restores the default.
    void SetReplyTimeout(std::chrono::milliseconds timeout) { Timeout = timeout; }

protected:
    // Read up to a deadline the caller computed once, for a reply read in parts.
    std::int32_t ReadUntil(char* buffer, std::int32_t count,
                           std::chrono::steady_clock::time_point deadline);

    // Both protocols give a failed exchange a pause and some more tries: true as soon as one
    // attempt succeeds, false after the last failed one and its pause.
    template <typename TAttempt>
    static bool Retry(int tries, std::chrono::milliseconds pause, TAttempt attempt) {
        for (; tries > 0; --tries) {
            if (attempt()) {
                return true;
            }
            std::this_thread::sleep_for(pause);
        }
        return false;
    }

    std::unique_ptr<TSerialDevice> Handle;
    std::int32_t Baudrate = 19200;
    std::string Port = "COM1";
    std::int32_t DataBits = 8;
    std::int32_t StopBits = 1;
    std::uint8_t Parity = 0;
    std::uint8_t FlowControl = 0;
    std::chrono::steady_clock::time_point Deadline{};
    std::chrono::milliseconds Timeout{0};
    TOpenError OpenError;
};

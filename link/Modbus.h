#pragma once

#include "link/Serialport.h"
#include "link/Types.h"

#include <chrono>
#include <cstddef>
#include <cstdint>

// Modbus RTU master: functions 3, 6 and 16 on holding registers.
class TModbus : public TSerialPort {
public:
    static constexpr int Tries = 2;
    static constexpr std::chrono::milliseconds RetryPause{20};

    TModbus();

    // The Modbus CRC with its bytes swapped: the high half goes on the line first.
    static std::uint16_t CrcModbus(const char* bytes, std::size_t length);

    bool SendRequest(std::uint8_t slave, std::uint8_t function, std::int32_t reg,
                     const Unsigned16Vector& values);
    bool ReceiveResponse(std::uint8_t slave, std::uint8_t function, std::int32_t reg,
                         std::int32_t quantity, Unsigned16Vector& values);
    bool ReadRegisters(std::uint8_t slave, std::int32_t reg, std::int32_t count,
                       Unsigned16Vector& values);
    bool WriteRegisters(std::uint8_t slave, std::int32_t reg, Unsigned16Vector& values);

    // The exception code of the last reply when it was an exception (the slave answered but
    // refused the request), else 0: a device that answers this way is there, only no converter.
    std::uint8_t LastException() const { return Exception; }

    // One try per request and no pause after sending, for a caller whose reply timeout covers
    // the whole exchange (the line search); off again restores the tries and the pause.
    void SetSingleExchange(bool single) { SingleExchange = single; }

protected:
    int RequestTries() const;
    std::chrono::milliseconds RequestPause() const;

    CharVector FrameBuffer;
    std::uint32_t MaxRegisters = 50;
    bool SingleExchange = false;
    std::uint8_t Exception = 0;
};

// The standard name of a Modbus exception code ("illegal data address"), or "unknown".
const char* ExceptionName(std::uint8_t code);

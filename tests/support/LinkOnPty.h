#pragma once

#include "link/MessagePump.h"
#include "link/Serialport.h"
#include "link/Types.h"
#include "tests/support/PtyPair.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

// Name under which the tests' serial ports reach their pseudo-terminal.
inline const std::string TestPortName = "COM5";

// Points the port at the pty's slave side as a front end would map a real device, and opens
// it with the given reply timeout. Returns Open's answer.
inline bool OpenOnPty(TSerialPort& port, const TPtyPair& pty, std::chrono::milliseconds timeout) {
    MapPort(TestPortName, pty.SlavePath());
    port.SetPort(TestPortName);
    port.SetReplyTimeout(timeout);
    return port.Open();
}

// Counts the passes of the read loop through the front end's message hook.
class THookCounter {
public:
    THookCounter() {
        SetMessageHook([this] {
            ++Calls;
            if (Next) {
                std::exchange(Next, {})();
            }
        });
    }
    ~THookCounter() { SetMessageHook({}); }
    THookCounter(const THookCounter&) = delete;
    THookCounter& operator=(const THookCounter&) = delete;

    // Runs the action once, at the read loop's next pass: the far end acts in the middle of
    // a read, at a point the read has surely reached.
    void AtNextPass(std::function<void()> action) { Next = std::move(action); }

    int Calls = 0;

private:
    std::function<void()> Next;
};

// count values first, first + step, ...: easy to recognise on the wire.
inline Unsigned16Vector Ramp(std::uint16_t first, std::size_t count, std::uint16_t step = 1) {
    Unsigned16Vector values;
    for (std::size_t i = 0; i < count; ++i) {
        values.push_back(static_cast<std::uint16_t>(first + i * step));
    }
    return values;
}

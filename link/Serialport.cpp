#include "link/Serialport.h"

#include "link/MessagePump.h"
#include "link/SerialDevice.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <limits>
#include <map>
#include <mutex>

namespace {

struct TPortMap {
    std::mutex Lock;
    std::map<std::string, std::string> Paths;
};

TPortMap& PortMap() {
    static TPortMap map;
    return map;
}

constexpr std::string_view ComPrefix = "COM";

// The number of a "COMn" name, or false when the name is not "COM" plus a whole number.
bool ParseComName(const std::string& name, std::int32_t& number) {
    if (name.size() < 4 || std::string_view(name).substr(0, 3) != ComPrefix) {
        return false;
    }
    const char* first = name.data() + 3;
    const char* last = name.data() + name.size();
    const auto [end, error] = std::from_chars(first, last, number);
    return error == std::errc() && end == last;
}

// The open device keeps the name and line format it was opened with.
template <typename T>
void SetUnlessOpen(bool open, T& setting, const T& value) {
    if (!open) {
        setting = value;
    }
}

constexpr std::int32_t LineBaudrates[] = {
    50,     75,     110,    134,    150,    200,     300,     600,     1200,   1800,
    2400,   4800,   9600,   14400,  19200,  38400,   57600,   115200,  128000, 230400,
    256000, 460800, 500000, 576000, 921600, 1000000, 1152000, 1500000, 2000000};

// Bit times per character: start, parity and stop bits with a margin.
constexpr double BitsPerCharacter = 12.0;
// The far end's turnaround.
constexpr std::chrono::milliseconds Turnaround{100};

} // namespace

bool IsLineBaudrate(std::int32_t baudrate) {
    return std::find(std::begin(LineBaudrates), std::end(LineBaudrates), baudrate) !=
           std::end(LineBaudrates);
}

void MapPort(const std::string& comName, const std::string& devicePath) {
    std::lock_guard guard(PortMap().Lock);
    PortMap().Paths[comName] = devicePath;
}

void ClearPortMap() {
    std::lock_guard guard(PortMap().Lock);
    PortMap().Paths.clear();
}

std::string DevicePathOf(const std::string& comName) {
    {
        std::lock_guard guard(PortMap().Lock);
        const auto mapped = PortMap().Paths.find(comName);
        if (mapped != PortMap().Paths.end()) {
            return mapped->second;
        }
    }
    std::int32_t number = 0;
    if (!ParseComName(comName, number) || number < 1) {
        return {};
    }
#ifdef _WIN32
    return "\\\\.\\" + comName;
#else
    // The numbering that serial port emulators use: COM1 is the first ttyS.
    return "/dev/ttyS" + std::to_string(number - 1);
#endif
}

TSerialPort::TSerialPort() = default;

TSerialPort::~TSerialPort() = default;

void TSerialPort::SetPort(const std::string& name) {
    SetUnlessOpen(IsOpen(), Port, name);
    // A read still running (a message handler called from inside it) keeps its timeout.
    if (std::chrono::steady_clock::now() > Deadline) {
        Timeout = ReplyTimeout;
    }
}

void TSerialPort::SetBaudrate(std::int32_t baudrate) {
    SetUnlessOpen(IsOpen(), Baudrate, baudrate);
}

void TSerialPort::SetDataBits(std::int32_t dataBits) {
    SetUnlessOpen(IsOpen(), DataBits, dataBits);
}

void TSerialPort::SetStopBits(std::int32_t stopBits) {
    SetUnlessOpen(IsOpen(), StopBits, stopBits);
}

void TSerialPort::SetParity(std::uint8_t parity) {
    SetUnlessOpen(IsOpen(), Parity, parity);
}

void TSerialPort::SetFlowControl(std::uint8_t flowControl) {
    SetUnlessOpen(IsOpen(), FlowControl, flowControl);
}

bool TSerialPort::Open() {
    if (Handle) {
        return false;
    }
    OpenError = {};
    std::int32_t number = 0;
    if (!ParseComName(Port, number)) {
        OpenError.Kind = TOpenFailure::NotComName;
        return false;
    }
    const std::string path = DevicePathOf(Port);
    if (path.empty()) {
        OpenError.Kind = TOpenFailure::NoDevice;
        return false;
    }
    Handle =
        TSerialDevice::Open(path, {Baudrate, DataBits, StopBits, Parity, FlowControl}, OpenError);
    return Handle != nullptr;
}

void TSerialPort::Close() {
    Handle.reset();
}

std::int32_t TSerialPort::Write(const char* bytes, std::int32_t count) {
    if (!Handle || count <= 0) {
        return 0;
    }
    return count - Handle->Write(bytes, count);
}

std::int32_t TSerialPort::Read(char* buffer, std::int32_t count) {
    return ReadUntil(buffer, count, std::chrono::steady_clock::now() + Timeout);
}

std::int32_t TSerialPort::ReadUntil(char* buffer, std::int32_t count,
                                    std::chrono::steady_clock::time_point deadline) {
    if (!Handle) {
        return 0;
    }
    using Clock = std::chrono::steady_clock;
    Deadline = deadline;
    const std::int32_t wanted = count > 0 ? count : 0;
    std::int32_t total = 0;
    for (;;) {
        total += Handle->ReadAvailable(buffer + total, wanted - total);
        ProcessMessages();
        // A message handler may have closed the port under the running read.
        if (!Handle || total >= wanted) {
            break;
        }
        const auto now = Clock::now();
        const auto left = Deadline > now ? Deadline - now : Clock::duration::zero();
        Handle->WaitForInput(std::min<Clock::duration>(ReadPass, left));
        if (Clock::now() >= Deadline) {
            break;
        }
    }
    return total;
}

bool TSerialPort::IsOpen() const {
    return Handle != nullptr;
}

bool TSerialPort::PurgeInput() {
    return Handle && Handle->PurgeInput();
}

std::int32_t TSerialPort::TransmitTime(std::int32_t characters) const {
    // A speed of 0 or less has no bit time at all.
    const double bitsTime = Baudrate > 0 ? BitsPerCharacter * 1000.0 / Baudrate * characters : 0.0;
    const double total = bitsTime + static_cast<double>(Turnaround.count());
    if (total >= std::numeric_limits<std::int32_t>::max()) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (total <= std::numeric_limits<std::int32_t>::min()) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(total);
}

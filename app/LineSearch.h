#pragma once

#include "link/Serialport.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// Finding a converter whose address or baud rate nobody knows: one identification read at every
// address at every baud rate, and one read of a waiting boot loader at each rate. Nothing is
// ever written. The window (after a failed connect) and fwloader scan share it.

struct TFoundConverter {
    int Address = 0;
    std::int32_t Baudrate = 0;
    std::uint16_t Type = 0;
    std::uint16_t SubType = 0;
    std::uint16_t Version = 0;
    bool OldGeneration = false;
};

// A Modbus device of another kind: it refused the identification read with an exception.
struct TForeignDevice {
    int Address = 0;
    std::int32_t Baudrate = 0;
    std::uint8_t Exception = 0;
};

struct TSearchResult {
    std::vector<TFoundConverter> Converters;   // in the order found
    std::vector<TForeignDevice> Foreign;       // never to be updated
    std::vector<std::int32_t> LoaderBaudrates; // where a boot loader answered
    bool Cancelled = false;
    bool OpenFailed = false; // the port would not open; OpenError says why
    TOpenError OpenError;
    std::chrono::duration<double> Took{0};

    bool AnythingAnswered() const {
        return !Converters.empty() || !Foreign.empty() || !LoaderBaudrates.empty();
    }
};

// What a front end sees of a search while it runs.
class TSearchProgress {
public:
    virtual ~TSearchProgress() = default;
    // Before each read (address 0: the boot loader's read), and once more at the end with
    // done == total.
    virtual void SearchStep(int done, int total, std::int32_t baudrate, int address) = 0;
    virtual void Found(const TFoundConverter& /*converter*/) {}
    virtual void FoundForeign(const TForeignDevice& /*device*/) {}
    virtual void FoundLoader(std::int32_t /*baudrate*/) {}
    // Asked before each read; true stops the search there.
    virtual bool SearchCancelled() { return false; }
};

inline constexpr int FirstSearchAddress = 1;
inline constexpr int LastSearchAddress = 255;
// A USB serial adapter's latency timer holds received bytes up to this long before it passes
// them on.
inline constexpr std::chrono::milliseconds UsbLatency{16};
// How long a device may take between the end of a request and the start of its reply.
inline constexpr std::chrono::milliseconds DeviceTurnaround{10};
// The frames of the two reads: the identification (3 registers) and a boot loader page.
inline constexpr int IdentRequestBytes = 8;
inline constexpr int IdentReplyBytes = 11;
inline constexpr int LoaderRequestBytes = 8;
inline constexpr int LoaderReplyBytes = 72;

// A search's reply timeout for one exchange: both frames on the wire at the baud rate (10 bit
// times a byte), the device's turnaround and the USB adapter's latency.
std::chrono::milliseconds SearchReplyTimeout(std::int32_t baudrate, int requestBytes,
                                             int replyBytes);

// The window's baud rates, the chosen one first and then the others in list order; a rate the
// list lacks comes first all the same.
std::vector<std::int32_t> SearchOrder(std::int32_t chosen);

// One read of the information memory's first page (which changes nothing on the device), one
// try with the search's timeout: true when a boot loader answers on the port at that rate.
bool BootLoaderWaits(const std::string& port, std::int32_t baudrate);

// Every address 1..255 (or those given, in their order) at each baud rate in the order given.
// The progress may be null.
TSearchResult SearchLine(const std::string& port, const std::vector<std::int32_t>& baudrates,
                         TSearchProgress* progress, const std::vector<int>& addresses = {});

#include "app/LineSearch.h"

#include "app/Wizard.h"
#include "converter/Converter.h"
#include "loader/Loader.h"

#include <algorithm>
#include <cmath>
#include <thread>

namespace {

// A character on this line: start bit, 8 data bits, stop bit.
constexpr double BitsPerByte = 10.0;
// The information memory's first page, the same on every processor: reading it changes nothing.
constexpr std::uint32_t InformationMemoryStart = 0x1000;
// Silence a device that frames by the line's quiet needs before a new frame: 3.5 characters,
// at least 1.75 ms on fast lines.
constexpr double SilenceCharacters = 3.5;
constexpr std::chrono::microseconds ShortestSilence{1750};

using Clock = std::chrono::steady_clock;

std::chrono::microseconds WireTime(std::int32_t baudrate, int bytes) {
    return std::chrono::microseconds(
        static_cast<std::int64_t>(std::ceil(BitsPerByte * 1e6 * bytes / baudrate)));
}

std::chrono::microseconds SilenceAt(std::int32_t baudrate) {
    return std::max(std::chrono::microseconds(static_cast<std::int64_t>(
                        std::ceil(SilenceCharacters * BitsPerByte * 1e6 / baudrate))),
                    ShortestSilence);
}

bool LoaderAnswers(TCommunication& loader) {
    Unsigned16Vector words;
    return loader.SendFrame(THexLoader::CmdRead, InformationMemoryStart, {}) &&
           loader.ReceiveFrame(THexLoader::CmdRead, InformationMemoryStart, words);
}

} // namespace

std::chrono::milliseconds SearchReplyTimeout(std::int32_t baudrate, int requestBytes,
                                             int replyBytes) {
    const auto wire = WireTime(baudrate, requestBytes + replyBytes);
    return std::chrono::ceil<std::chrono::milliseconds>(wire) + DeviceTurnaround + UsbLatency;
}

std::vector<std::int32_t> SearchOrder(std::int32_t chosen) {
    std::vector<std::int32_t> order{chosen};
    for (const char* item : BaudrateItems) {
        const std::int32_t baudrate = std::atoi(item);
        if (baudrate != chosen) {
            order.push_back(baudrate);
        }
    }
    return order;
}

bool BootLoaderWaits(const std::string& port, std::int32_t baudrate) {
    THexLoader loader;
    loader.SetPort(port);
    loader.SetBaudrate(baudrate);
    if (!loader.Open()) {
        return false;
    }
    loader.SetReplyTimeout(SearchReplyTimeout(baudrate, LoaderRequestBytes, LoaderReplyBytes));
    const bool answered = LoaderAnswers(loader);
    loader.Close();
    return answered;
}

TSearchResult SearchLine(const std::string& port, const std::vector<std::int32_t>& baudrates,
                         TSearchProgress* progress, const std::vector<int>& addresses) {
    const Clock::time_point started = Clock::now();
    TSearchResult result;
    std::vector<int> order = addresses;
    if (order.empty()) {
        for (int address = FirstSearchAddress; address <= LastSearchAddress; ++address) {
            order.push_back(address);
        }
    }
    const int perRate = 1 + static_cast<int>(order.size()); // the loader's read too
    const int total = perRate * static_cast<int>(baudrates.size());
    int done = 0;
    // False when the search is to stop before this read.
    const auto step = [&](std::int32_t baudrate, int address) {
        if (progress != nullptr) {
            if (progress->SearchCancelled()) {
                result.Cancelled = true;
                return false;
            }
            progress->SearchStep(done, total, baudrate, address);
        }
        ++done;
        return true;
    };
    const auto finish = [&] {
        result.Took = Clock::now() - started;
        return result;
    };

    for (const std::int32_t baudrate : baudrates) {
        // The line has been quiet for a whole timeout when a rate begins: the boot loader's
        // read goes first, before Modbus traffic it cannot frame.
        if (!step(baudrate, 0)) {
            return finish();
        }
        if (BootLoaderWaits(port, baudrate)) {
            result.LoaderBaudrates.push_back(baudrate);
            if (progress != nullptr) {
                progress->FoundLoader(baudrate);
            }
        }

        TConverter converter;
        converter.SetPort(port);
        converter.SetBaudrate(baudrate);
        converter.SetSingleExchange(true);
        if (!converter.Open()) {
            result.OpenFailed = true;
            result.OpenError = converter.GetOpenError();
            return finish();
        }
        converter.SetReplyTimeout(SearchReplyTimeout(baudrate, IdentRequestBytes, IdentReplyBytes));
        for (const int address : order) {
            if (!step(baudrate, address)) {
                return finish();
            }
            converter.SetAddress(static_cast<std::uint8_t>(address));
            if (!converter.Identify()) {
                if (converter.LastException() != 0) {
                    const TForeignDevice foreign{address, baudrate, converter.LastException()};
                    result.Foreign.push_back(foreign);
                    if (progress != nullptr) {
                        progress->FoundForeign(foreign);
                    }
                    std::this_thread::sleep_for(SilenceAt(baudrate));
                }
                continue;
            }
            const TFoundConverter found{address,
                                        baudrate,
                                        static_cast<std::uint16_t>(converter.GetType()),
                                        static_cast<std::uint16_t>(converter.GetSubType()),
                                        static_cast<std::uint16_t>(converter.GetVersion()),
                                        converter.OldGeneration()};
            result.Converters.push_back(found);
            if (progress != nullptr) {
                progress->Found(found);
            }
            // A reply has just crossed the line: the next request waits for its silence.
            std::this_thread::sleep_for(SilenceAt(baudrate));
        }
        converter.Close();
    }
    if (progress != nullptr) {
        progress->SearchStep(done, total, baudrates.empty() ? 0 : baudrates.back(), order.back());
    }
    return finish();
}

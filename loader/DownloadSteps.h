#pragma once

#include <cstdint>

// The exchanges of a download, in the order each page goes through them.
enum class TDownloadStep { Erase, BlankCheck, Write, Verify };

// Told of each exchange of the download once the boot loader has answered it: a front end that
// weighs the work really done attaches one. address: the sector's or page's first byte; words:
// the data words the exchange carried (written, or read back).
class TDownloadSteps {
public:
    virtual ~TDownloadSteps() = default;
    virtual void Step(TDownloadStep kind, std::int32_t address, std::int32_t words) = 0;
};

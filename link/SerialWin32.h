#pragma once

// How the Windows back end turns the line settings into the driver's structures; its own
// header so the rules can be checked where an emulated port would not keep them.

#include "link/SerialDevice.h"

#include <windows.h>

// Changes the fields of dcb that the line settings decide; the others keep the driver's values.
void ApplyLineSettings(DCB& dcb, const TLineSettings& settings);

// Reads that return at once with what the driver holds, writes without a timeout.
void ApplyTimeouts(COMMTIMEOUTS& timeouts);

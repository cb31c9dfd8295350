#pragma once

// How the POSIX back end turns the line settings into termios; its own header so the rules
// can be checked where a pseudo-terminal would not keep them (parity, character size).

#include "link/SerialDevice.h"

#include <termios.h>

// Changes tio to the line settings in raw 8-bit transfer. False when the system has no
// speed code for the baud rate.
bool ApplyLineSettings(termios& tio, const TLineSettings& settings);

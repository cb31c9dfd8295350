// Serial devices on Windows: the Win32 communications functions on "\\.\COMn".

#include "link/SerialDevice.h"
#include "link/SerialWin32.h"

#include <algorithm>
#include <string>
#include <timeapi.h>

namespace {

// Granularity of the wait for input: the driver's input count is looked at this often. A
// reply is handed over about this long after its last byte, instead of after a whole pass.
constexpr std::chrono::milliseconds InputPoll{1};

// Timer resolution asked of the system while a port is open, so that the short sleeps of the
// read loop are as short as they say (the default tick is about 16 ms).
constexpr UINT TimerPeriodMs = 1;

// Queue sizes asked of the driver; it keeps what it can.
constexpr DWORD QueueSize = MAXDWORD;

constexpr char Xon = 0x11;
constexpr char Xoff = 0x13;

BYTE ParityCode(std::uint8_t parity) {
    switch (parity) {
    case 1:
        return ODDPARITY;
    case 2:
        return EVENPARITY;
    case 3:
        return MARKPARITY;
    case 4:
        return SPACEPARITY;
    default:
        return NOPARITY;
    }
}

// Windows answers "access denied" for a port that another program holds open.
TOpenError OpenFailure(DWORD code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return {TOpenFailure::NoDevice, {}};
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return {TOpenFailure::InUse, {}};
    default:
        return {TOpenFailure::Other, "system error " + std::to_string(code)};
    }
}

} // namespace

void ApplyLineSettings(DCB& dcb, const TLineSettings& settings) {
    dcb.BaudRate = static_cast<DWORD>(settings.Baudrate);
    dcb.fBinary = TRUE;
    dcb.Parity = ParityCode(settings.Parity);
    dcb.fParity = dcb.Parity != NOPARITY;
    dcb.ByteSize = static_cast<BYTE>(settings.DataBits);
    dcb.StopBits = settings.StopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;

    const bool hardware = settings.FlowControl == 2;
    const bool software = settings.FlowControl == 1;
    dcb.fOutxCtsFlow = hardware;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = hardware ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = software;
    dcb.fInX = software;
    dcb.XonChar = Xon;
    dcb.XoffChar = Xoff;
    dcb.fTXContinueOnXoff = TRUE;

    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
}

void ApplyTimeouts(COMMTIMEOUTS& timeouts) {
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
}

std::unique_ptr<TSerialDevice>
TSerialDevice::Open(const std::string& path, const TLineSettings& settings, TOpenError& error) {
    HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = OpenFailure(::GetLastError());
        return nullptr;
    }
    std::unique_ptr<TSerialDevice> device(new TSerialDevice(handle));
    (void)::timeBeginPeriod(TimerPeriodMs); // ended with the device

    // A driver that keeps some settings to itself still gives a usable port; what it took is
    // not looked at.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    (void)::GetCommState(handle, &dcb);
    ApplyLineSettings(dcb, settings);
    (void)::SetCommState(handle, &dcb);

    COMMTIMEOUTS timeouts{};
    (void)::GetCommTimeouts(handle, &timeouts);
    ApplyTimeouts(timeouts);
    (void)::SetCommTimeouts(handle, &timeouts);

    (void)::SetupComm(handle, QueueSize, QueueSize);
    return device;
}

TSerialDevice::~TSerialDevice() {
    ::CloseHandle(Handle);
    (void)::timeEndPeriod(TimerPeriodMs);
}

std::int32_t TSerialDevice::Write(const char* bytes, std::int32_t count) {
    std::int32_t written = 0;
    while (written < count) {
        DWORD done = 0;
        const BOOL ok = ::WriteFile(Handle, bytes + written, static_cast<DWORD>(count - written),
                                    &done, nullptr);
        written += static_cast<std::int32_t>(done);
        if (!ok || done == 0) {
            break;
        }
    }
    return written;
}

std::int32_t TSerialDevice::ReadAvailable(char* buffer, std::int32_t count) {
    if (count <= 0) {
        return 0;
    }
    DWORD got = 0;
    if (!::ReadFile(Handle, buffer, static_cast<DWORD>(count), &got, nullptr)) {
        return 0;
    }
    return static_cast<std::int32_t>(got);
}

void TSerialDevice::WaitForInput(std::chrono::nanoseconds wait) {
    // A non-overlapped port has no bounded wait for input, so the driver's input count is
    // polled in short sleeps.
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + wait;
    for (;;) {
        DWORD errors = 0;
        COMSTAT status{};
        const bool known = ::ClearCommError(Handle, &errors, &status) != 0;
        if (known && status.cbInQue > 0) {
            return;
        }
        const auto now = Clock::now();
        if (now >= end) {
            return;
        }
        // A driver that tells nothing is waited out in one piece rather than asked again.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now);
        const auto pause = known ? std::min(left, InputPoll) : left;
        ::Sleep(static_cast<DWORD>(pause.count()));
    }
}

bool TSerialDevice::PurgeInput() {
    return ::PurgeComm(Handle, PURGE_RXCLEAR) != 0;
}

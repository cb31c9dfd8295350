#include "sim/PtyServer.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

struct SpeedCode {
    int Baud;
    speed_t Code;
};

constexpr std::array<SpeedCode, 8> Speeds{{{1200, B1200},
                                           {2400, B2400},
                                           {4800, B4800},
                                           {9600, B9600},
                                           {19200, B19200},
                                           {38400, B38400},
                                           {57600, B57600},
                                           {115200, B115200}}};

// While nobody holds the slave open the master reports a hang-up at once on every poll; the
// server then looks again after a pause that grows to this.
constexpr std::chrono::milliseconds LongestHangupPause{10};
constexpr std::chrono::microseconds FirstHangupPause{500};
constexpr std::size_t ReadChunk = 4096;
// A reply that the slave side does not take within this long (nobody reads the line) is lost.
constexpr std::chrono::milliseconds LongestSend{200};
constexpr int SendRetryMs = 10;

int SpeedToBaud(speed_t code) {
    for (const auto& speed : Speeds) {
        if (speed.Code == code) {
            return speed.Baud;
        }
    }
    return 0;
}

[[noreturn]] void Fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

timespec ToTimespec(std::chrono::nanoseconds wait) {
    wait = std::max(wait, std::chrono::nanoseconds{0});
    return {static_cast<time_t>(wait.count() / 1000000000),
            static_cast<long>(wait.count() % 1000000000)};
}

} // namespace

bool IsSupportedBaud(int baud) {
    return std::any_of(Speeds.begin(), Speeds.end(),
                       [baud](const SpeedCode& s) { return s.Baud == baud; });
}

PtyServer::PtyServer(const DeviceOptions& device, const LineOptions& line, LogSink log)
    : Line(line), Log(std::move(log)), Began(Clock::now()), Model(device),
      Assembler(Model.Listening(), Model.Baud()) {
    Master.Reset(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!Master.Valid()) {
        Fail("posix_openpt");
    }
    if (grantpt(Master.Get()) != 0 || unlockpt(Master.Get()) != 0) {
        Fail("unlockpt");
    }
    std::array<char, 128> name{};
    if (ptsname_r(Master.Get(), name.data(), name.size()) != 0) {
        Fail("ptsname_r");
    }
    Slave = name.data();
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
        Fail("pipe2");
    }
    StopRead.Reset(pipeEnds[0]);
    StopWrite.Reset(pipeEnds[1]);
    if (Log) {
        Model.SetLog([this](const std::string& text) { Write(text); });
        Assembler.OnReject([this](std::span<const std::uint8_t> bytes) {
            Write("rx " + Hex(bytes) + " (dropped: bad checksum or incomplete)");
        });
    }
}

void PtyServer::Stop() {
    const char byte = 1;
    [[maybe_unused]] const auto ignored = ::write(StopWrite.Get(), &byte, 1);
}

bool PtyServer::LineVanished() const {
    std::lock_guard lock(Guard);
    return Vanished;
}

void PtyServer::Write(const std::string& text) const {
    if (!Log) {
        return;
    }
    const auto ms = std::chrono::duration<double, std::milli>(Clock::now() - Began).count();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%10.3f] ", ms);
    Log(stamp + text);
}

bool PtyServer::SpeedMatches() {
    termios settings{};
    if (tcgetattr(Master.Get(), &settings) != 0) {
        return true; // nothing to compare with; take the bytes
    }
    const int out = SpeedToBaud(cfgetospeed(&settings));
    const speed_t in = cfgetispeed(&settings);
    return out == Model.Baud() && (in == 0 || SpeedToBaud(in) == out);
}

void PtyServer::Run() {
    // Replies leave at their modelled time: no timer slack for this thread's waits.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::chrono::nanoseconds hangupPause{0};
    while (true) {
        Clock::time_point now = Clock::now();
        std::optional<Clock::time_point> deadline;
        {
            std::lock_guard lock(Guard);
            if (!SendDue(now)) {
                return;
            }
            Drain(now);
            if (!Queue.empty()) {
                deadline = Queue.front().Due;
            }
            if (const auto framing = Assembler.Deadline()) {
                deadline = deadline ? std::min(*deadline, *framing) : *framing;
            }
        }
        const bool hungUp = hangupPause.count() > 0;
        std::array<pollfd, 2> fds{{{StopRead.Get(), POLLIN, 0}, {Master.Get(), POLLIN, 0}}};
        std::chrono::nanoseconds wait = deadline ? *deadline - now : std::chrono::hours(1);
        if (hungUp) {
            wait = std::min(wait, hangupPause);
        }
        const timespec timeout = ToTimespec(wait);
        const int ready = ppoll(fds.data(), hungUp ? 1 : 2, &timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            Fail("ppoll");
        }
        if (ready <= 0 && !hungUp) {
            continue;
        }
        if (fds[0].revents != 0) {
            return;
        }
        if (hungUp) {
            pollfd master{Master.Get(), POLLIN, 0};
            if (poll(&master, 1, 0) >= 0 && (master.revents & POLLHUP) != 0 &&
                (master.revents & POLLIN) == 0) {
                hangupPause =
                    std::min<std::chrono::nanoseconds>(hangupPause * 2, LongestHangupPause);
                continue;
            }
            hangupPause = std::chrono::nanoseconds{0};
            continue;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            Receive(Clock::now());
        } else if ((fds[1].revents & POLLHUP) != 0) {
            hangupPause = FirstHangupPause;
        }
    }
}

void PtyServer::Receive(Clock::time_point now) {
    std::array<std::uint8_t, ReadChunk> buffer{};
    const ssize_t got = ::read(Master.Get(), buffer.data(), buffer.size());
    if (got <= 0) {
        return; // EAGAIN, or EIO when the slave closed: poll tells the rest
    }
    const std::span<const std::uint8_t> bytes(buffer.data(), static_cast<std::size_t>(got));
    std::lock_guard lock(Guard);
    if (Line.CheckSpeed && !SpeedMatches()) {
        Model.Count().WrongSpeedBytes += bytes.size();
        Write("ignored at a wrong line speed: " + Hex(bytes));
        return;
    }
    Assembler.Push(bytes, now);
    Drain(now);
}

void PtyServer::Drain(Clock::time_point now) {
    while (const auto frame = Assembler.Next(now)) {
        Write("rx " + Hex(frame->Bytes));
        const int baud = Model.Baud();
        const Protocol protocol = Model.Listening();
        const Response response = Model.Handle(frame->Bytes);
        if (response.CloseLine) {
            Queue.push_back({{}, now, true}); // the reply goes down with the line
            return;
        }
        if (response.Answer) {
            const Reply& reply = *response.Answer;
            Clock::time_point due = now + reply.Work;
            if (Line.WireTime) {
                due = frame->Start + WireTime(frame->Bytes.size(), baud) + reply.Work +
                      WireTime(reply.Bytes.size(), baud);
            }
            due = std::max(due, LastDue);
            LastDue = due;
            Queue.push_back({reply.Bytes, due, false});
        }
        if (Model.Listening() != protocol || Model.Baud() != baud) {
            // Whatever came in behind the frame is for the program that runs now.
            Assembler.Switch(Model.Listening(), Model.Baud());
        }
    }
    Model.Count().Rejected = Assembler.RejectedFrames();
}

bool PtyServer::SendDue(Clock::time_point now) {
    while (!Queue.empty() && Queue.front().Due <= now) {
        const Pending pending = std::move(Queue.front());
        Queue.pop_front();
        if (!pending.Bytes.empty()) {
            Send(pending.Bytes);
        }
        if (pending.CloseAfter) {
            Master.Reset();
            Vanished = true;
            Queue.clear();
            return false;
        }
    }
    return true;
}

void PtyServer::Send(const std::vector<std::uint8_t>& bytes) {
    Write("tx " + Hex(bytes));
    const auto giveUp = Clock::now() + LongestSend;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::write(Master.Get(), bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EAGAIN && Clock::now() < giveUp) {
            pollfd out{Master.Get(), POLLOUT, 0};
            poll(&out, 1, SendRetryMs);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            Write("reply lost: nobody takes it from the line");
            return;
        }
    }
}

} // namespace sim

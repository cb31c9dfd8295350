#include "sim/PtyServer.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <stdexcept>
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
constexpr std::uint8_t IdleByte = 0xFF; // what an idle RS-485 line reads as

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

std::vector<std::uint8_t> Collide(const std::vector<std::vector<std::uint8_t>>& replies) {
    std::size_t length = 0;
    for (const auto& reply : replies) {
        length = std::max(length, reply.size());
    }
    // The idle line is high and a driver sending a zero wins; the drivers are never in step,
    // so each reply after the first is slipped by another bit.
    std::vector<std::uint8_t> line(length, IdleByte);
    for (std::size_t j = 0; j < replies.size(); ++j) {
        const unsigned slip = j == 0 ? 0 : 1 + static_cast<unsigned>((j - 1) % 7);
        std::uint8_t previous = IdleByte;
        for (std::size_t k = 0; k < length; ++k) {
            const std::uint8_t byte = k < replies[j].size() ? replies[j][k] : IdleByte;
            line[k] &= static_cast<std::uint8_t>(byte << slip | previous >> (8 - slip));
            previous = byte;
        }
    }
    // Whatever the mix leaves, no prefix may pass for a frame. Spoiling a prefix's last
    // (checksum) byte breaks it and leaves the shorter prefixes as they were.
    for (std::size_t end = 1; end <= line.size(); ++end) {
        const std::span<const std::uint8_t> prefix(line.data(), end);
        if (HasValidCrc(Protocol::ModbusRtu, prefix) || HasValidCrc(Protocol::Loader, prefix)) {
            line[end - 1] ^= 0x01;
        }
    }
    return line;
}

bool IsSupportedBaud(int baud) {
    return std::any_of(Speeds.begin(), Speeds.end(),
                       [baud](const SpeedCode& s) { return s.Baud == baud; });
}

PtyServer::Node::Node(const DeviceOptions& options)
    : Model(options), Assembler(Model.Listening(), Model.Baud()) {}

PtyServer::PtyServer(const DeviceOptions& device, const LineOptions& line, LogSink log)
    : PtyServer(std::vector<DeviceOptions>{device}, line, std::move(log)) {}

PtyServer::PtyServer(std::vector<DeviceOptions> devices, const LineOptions& line, LogSink log)
    : Line(line), Log(std::move(log)), Began(Clock::now()) {
    if (devices.empty()) {
        throw std::invalid_argument("PtyServer: a line needs a device");
    }
    Nodes.reserve(devices.size());
    for (DeviceOptions& options : devices) {
        options.Baud = devices.front().Baud;
        Nodes.emplace_back(options);
        Names.push_back(devices.size() == 1
                            ? std::string{}
                            : "device " + std::to_string(Names.size()) + " (address " +
                                  std::to_string(options.Address) + ")");
    }
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
        for (std::size_t i = 0; i < Nodes.size(); ++i) {
            Nodes[i].Model.SetLog([this, i](const std::string& text) { Write(Prefix(i) + text); });
            Nodes[i].Assembler.OnReject([this, i](std::span<const std::uint8_t> bytes) {
                Write(Prefix(i) + "rx " + Hex(bytes) + " (dropped: bad checksum or incomplete)");
            });
        }
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

std::string PtyServer::Prefix(std::size_t index) const {
    return Names[index].empty() ? std::string{} : Names[index] + ": ";
}

std::optional<int> PtyServer::LineBaud() const {
    termios settings{};
    if (tcgetattr(Master.Get(), &settings) != 0) {
        return std::nullopt; // nothing to compare with; take the bytes
    }
    const int out = SpeedToBaud(cfgetospeed(&settings));
    const speed_t in = cfgetispeed(&settings);
    return in == 0 || SpeedToBaud(in) == out ? out : 0; // 0: no speed any device is at
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
            for (const Node& node : Nodes) {
                if (const auto framing = node.Assembler.Deadline()) {
                    deadline = deadline ? std::min(*deadline, *framing) : *framing;
                }
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
    const std::optional<int> baud = Line.CheckSpeed ? LineBaud() : std::nullopt;
    for (std::size_t i = 0; i < Nodes.size(); ++i) {
        Node& node = Nodes[i];
        if (baud && *baud != node.Model.Baud()) {
            node.Model.Count().WrongSpeedBytes += bytes.size();
            Write(Prefix(i) + "ignored at a wrong line speed: " + Hex(bytes));
            continue;
        }
        node.Assembler.Push(bytes, now);
    }
    Drain(now);
}

void PtyServer::Drain(Clock::time_point now) {
    // One frame of each device a round, so that the devices' replies to one frame are queued
    // together.
    for (bool more = true; more;) {
        more = false;
        for (std::size_t i = 0; i < Nodes.size(); ++i) {
            Node& node = Nodes[i];
            const auto frame = node.Assembler.Next(now);
            if (!frame) {
                continue;
            }
            more = true;
            Write(Prefix(i) + "rx " + Hex(frame->Bytes));
            const int baud = node.Model.Baud();
            const Protocol protocol = node.Model.Listening();
            const Response response = node.Model.Handle(frame->Bytes);
            if (response.CloseLine) {
                Queue.push_back({{}, now, true}); // the reply goes down with the line
                return;
            }
            if (response.Answer) {
                Answer(i, *frame, *response.Answer, baud, now);
            }
            if (node.Model.Listening() != protocol || node.Model.Baud() != baud) {
                // Whatever came in behind the frame is for the program that runs now.
                node.Assembler.Switch(node.Model.Listening(), node.Model.Baud());
            }
        }
    }
    for (Node& node : Nodes) {
        node.Model.Count().Rejected = node.Assembler.RejectedFrames();
    }
}

bool PtyServer::Overlap(const Pending& pending, const Pending& reply) const {
    if (Line.WireTime) {
        return pending.WireStart < reply.Due && reply.WireStart < pending.Due;
    }
    return pending.RequestStart == reply.RequestStart && pending.Request == reply.Request;
}

void PtyServer::Answer(std::size_t sender, const Frame& frame, const Reply& reply, int baud,
                       Clock::time_point now) {
    Pending next{.Bytes = reply.Bytes,
                 .Due = now + reply.Work,
                 .Parts = {reply.Bytes},
                 .Senders = {sender},
                 .RequestStart = frame.Start,
                 .Request = frame.Bytes};
    const std::chrono::nanoseconds wire =
        Line.WireTime ? WireTime(reply.Bytes.size(), baud) : std::chrono::nanoseconds{0};
    if (Line.WireTime) {
        next.Due = frame.Start + WireTime(frame.Bytes.size(), baud) + reply.Work + wire;
    }
    next.WireStart = next.Due - wire;
    for (auto it = Queue.begin(); it != Queue.end(); ++it) {
        Pending& pending = *it;
        if (pending.CloseAfter || !Overlap(pending, next) ||
            std::find(pending.Senders.begin(), pending.Senders.end(), sender) !=
                pending.Senders.end()) {
            continue; // a device sends its own replies one after the other
        }
        if (pending.Senders.size() == 1) {
            ++Nodes[pending.Senders.front()].Model.Count().Collisions;
        }
        ++Nodes[sender].Model.Count().Collisions;
        pending.Parts.push_back(next.Bytes);
        pending.Senders.push_back(sender);
        pending.Bytes = Collide(pending.Parts);
        pending.WireStart = std::min(pending.WireStart, next.WireStart);
        pending.Due = std::max(pending.Due, next.Due);
        // The replies behind keep their order.
        for (auto later = std::next(it); later != Queue.end(); ++later) {
            later->Due = std::max(later->Due, std::prev(later)->Due);
        }
        LastDue = std::max(LastDue, Queue.back().Due);
        std::string names;
        for (std::size_t index : pending.Senders) {
            names += (names.empty() ? "" : ", ") + Names[index];
        }
        Write("collision: " + names + " answer at once; the master gets broken bytes");
        return;
    }
    next.Due = std::max(next.Due, LastDue);
    next.WireStart = next.Due - wire;
    LastDue = next.Due;
    Queue.push_back(std::move(next));
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

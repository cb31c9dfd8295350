#include "tests/support/ScriptedPeer.h"

#include "tests/support/PtyPair.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

std::string Hex(const std::string& text) {
    std::string bytes;
    std::string digits;
    for (const char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            throw std::invalid_argument("not a hex digit in " + text);
        }
        digits += c;
        if (digits.size() == 2) {
            bytes += static_cast<char>(std::stoi(digits, nullptr, 16));
            digits.clear();
        }
    }
    if (!digits.empty()) {
        throw std::invalid_argument("odd number of hex digits in " + text);
    }
    return bytes;
}

std::string ToHex(const std::string& bytes) {
    std::string text;
    char byte[4];
    for (const char c : bytes) {
        std::snprintf(byte, sizeof byte, "%02X", static_cast<unsigned char>(c));
        text += text.empty() ? "" : " ";
        text += byte;
    }
    return text;
}

TScriptedPeer::TScriptedPeer(TPtyPair& pty, TFramer framer) : Pty(pty), Framer(std::move(framer)) {
    if (::pipe(StopPipe) != 0) {
        throw std::runtime_error("pipe failed");
    }
    Worker = std::thread([this] { Run(); });
}

TScriptedPeer::~TScriptedPeer() {
    const char stop = 0;
    (void)::write(StopPipe[1], &stop, 1);
    Worker.join();
    ::close(StopPipe[0]);
    ::close(StopPipe[1]);
}

void TScriptedPeer::Answer(TReply reply) {
    std::lock_guard guard(Lock);
    Script.push_back(std::move(reply));
}

std::vector<std::string> TScriptedPeer::Requests() const {
    std::lock_guard guard(Lock);
    return Received;
}

std::size_t TScriptedPeer::RequestCount() const {
    std::lock_guard guard(Lock);
    return Received.size();
}

bool TScriptedPeer::WaitForRequests(std::size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock guard(Lock);
    return Changed.wait_for(guard, limit, [&] { return Answered >= count; });
}

std::chrono::steady_clock::time_point TScriptedPeer::LastAnswerSent() const {
    std::lock_guard guard(Lock);
    return LastSent;
}

std::size_t TScriptedPeer::ModbusRequestLength(const std::string& soFar) {
    if (soFar.size() < 2) {
        return 0;
    }
    if (soFar[1] != 16) {
        return 8; // functions 3 and 6
    }
    return soFar.size() < 7 ? 0 : 9 + static_cast<unsigned char>(soFar[6]);
}

void TScriptedPeer::Run() {
    std::string pending;
    for (;;) {
        const int master = Pty.Master();
        pollfd fds[2] = {{StopPipe[0], POLLIN, 0}, {master, POLLIN, 0}};
        const bool framing = !pending.empty() && !Framer;
        const int ready =
            ::poll(fds, master >= 0 ? 2 : 1, framing ? static_cast<int>(QuietGap.count()) : -1);
        if (fds[0].revents) {
            return;
        }
        if (ready == 0) { // the line went quiet: the request is complete
            Respond(pending);
            pending.clear();
            continue;
        }
        if (ready < 0 || !(fds[1].revents & POLLIN)) {
            if (ready < 0 && errno != EINTR) {
                return;
            }
            continue;
        }
        char chunk[512];
        const ssize_t n = ::read(master, chunk, sizeof chunk);
        if (n <= 0) {
            continue;
        }
        pending.append(chunk, static_cast<std::size_t>(n));
        while (Framer) {
            const std::size_t length = Framer(pending);
            if (length == 0 || pending.size() < length) {
                break;
            }
            Respond(pending.substr(0, length));
            pending.erase(0, length);
        }
    }
}

void TScriptedPeer::Respond(const std::string& request) {
    TReply reply;
    bool scripted = false;
    {
        std::lock_guard guard(Lock);
        Received.push_back(request);
        if (!Script.empty()) {
            reply = std::move(Script.front());
            Script.pop_front();
            scripted = true;
        }
    }
    if (scripted && Pty.Master() >= 0) {
        std::this_thread::sleep_for(reply.Delay);
        WriteAll(Pty.Master(), reply.Bytes);
        if (reply.CloseAfter) {
            Pty.CloseMaster();
        }
    }
    std::lock_guard guard(Lock);
    LastSent = std::chrono::steady_clock::now();
    ++Answered;
    Changed.notify_all();
}

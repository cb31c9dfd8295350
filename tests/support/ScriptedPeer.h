#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TPtyPair;

// Bytes from a readable hex text: Hex("01 03 FE B0") (spaces optional).
std::string Hex(const std::string& text);
// The other way round, for messages: "01 03 FE B0".
std::string ToHex(const std::string& bytes);

// One answer of the peer to one request.
struct TReply {
    std::string Bytes;                  // nothing: the peer stays silent
    std::chrono::milliseconds Delay{0}; // before the first byte
    bool CloseAfter = false;            // the peer disappears (closes the master) after sending
};

// A peer on the master side of a pty that reads requests and answers them from a script.
// A request ends when Framer says it is complete or, without a framer, when the line has
// been quiet for QuietGap. Requests beyond the script get no answer.
class TScriptedPeer {
public:
    // Length of the request from its first bytes, or 0 while that is not known yet.
    using TFramer = std::function<std::size_t(const std::string& soFar)>;
    static constexpr std::chrono::milliseconds QuietGap{15};

    explicit TScriptedPeer(TPtyPair& pty, TFramer framer = {});
    ~TScriptedPeer();
    TScriptedPeer(const TScriptedPeer&) = delete;
    TScriptedPeer& operator=(const TScriptedPeer&) = delete;

    void Answer(TReply reply);
    void Answer(const std::string& bytes) { Answer(TReply{bytes}); }
    void Silence() { Answer(TReply{}); }

    std::vector<std::string> Requests() const;
    std::size_t RequestCount() const;
    // Waits until count requests have come in and their answers have gone out.
    bool WaitForRequests(std::size_t count, std::chrono::milliseconds limit) const;
    // When the last byte of the latest answer was handed to the line.
    std::chrono::steady_clock::time_point LastAnswerSent() const;

    static std::size_t ModbusRequestLength(const std::string& soFar);

private:
    void Run();
    void Respond(const std::string& request);

    TPtyPair& Pty;
    TFramer Framer;
    int StopPipe[2] = {-1, -1};
    mutable std::mutex Lock;
    mutable std::condition_variable Changed;
    std::deque<TReply> Script;
    std::vector<std::string> Received;
    std::size_t Answered = 0;
    std::chrono::steady_clock::time_point LastSent{};
    std::thread Worker;
};

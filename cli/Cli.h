#pragma once

#include "loader/MessageList.h"

#include <iosfwd>
#include <string>

// Exit codes of the command line.
inline constexpr int ExitSuccess = 0;
inline constexpr int ExitFailure = 1;

// Shows the loader's messages: each one a line on the stream, flushed at once.
class TStreamMessageList : public TMessageList {
public:
    explicit TStreamMessageList(std::ostream& out) : Out(out) {}
    void Append(const std::string& line) override;

private:
    std::ostream& Out;
};

// `fwloader image`: reads the carried firmware into the chosen processor's memory sections.
struct TImageOptions {
    int Processor = 0;
};
int RunImage(const TImageOptions& options, std::ostream& out, std::ostream& err);

// Parses the arguments, runs the chosen command and gives its exit code.
int RunCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

#pragma once

#include "loader/MessageList.h"

#include <string>
#include <vector>

// Keeps the loader's messages for the test to look at.
class TMessageRecorder : public TMessageList {
public:
    void Append(const std::string& line) override { Lines.push_back(line); }
    std::vector<std::string> Lines;
};

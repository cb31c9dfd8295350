#pragma once

#include <string>

// Where the loader's step and failure texts go. A front end that wants to show them
// attaches one; Append must show the new line before it returns.
class TMessageList {
public:
    virtual ~TMessageList() = default;
    virtual void Append(const std::string& line) = 0;
};

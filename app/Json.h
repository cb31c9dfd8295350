#pragma once

#include <string>

// The text as a JSON string, quotes and escapes included. Bytes above 0x7F (the system's code
// page) pass as they are.
std::string JsonString(const std::string& text);

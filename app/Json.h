#pragma once

#include <nlohmann/json.hpp>
#include <string>

// A JSON value as the programs write it: on one line, strings as nlohmann/json escapes them,
// bytes that are no UTF-8 replaced. Compact by default; spaced puts a blank after each comma
// and colon, as the lists for scripts and people are printed.
std::string JsonText(const nlohmann::ordered_json& value, bool spaced = false);

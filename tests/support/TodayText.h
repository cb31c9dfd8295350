#pragma once

#include <string>

// Today as the history list writes it (dd.mm.yyyy), taken from the C library rather than
// from the system's own date code.
std::string TodayText();
// Today as the service log's time begins (yyyy-mm-dd), from the same source.
std::string TodayIsoDate();

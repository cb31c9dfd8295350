#include "tests/support/TodayText.h"

#include <ctime>

namespace {

std::string Today(const char* format) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, format, &local);
    return text;
}

} // namespace

std::string TodayText() {
    return Today("%d.%m.%Y");
}

std::string TodayIsoDate() {
    return Today("%Y-%m-%d");
}

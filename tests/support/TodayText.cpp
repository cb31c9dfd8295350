#include "tests/support/TodayText.h"

#include <ctime>

std::string TodayText() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%d.%m.%Y", &local);
    return text;
}

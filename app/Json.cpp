#include "app/Json.h"

namespace {

constexpr int OneLine = -1; // no indentation and no line breaks
constexpr char IndentCharacter = ' ';
constexpr bool EnsureAscii = false; // UTF-8 passes as it is

std::string Scalar(const nlohmann::ordered_json& value) {
    return value.dump(OneLine, IndentCharacter, EnsureAscii,
                      nlohmann::ordered_json::error_handler_t::replace);
}

} // namespace

std::string JsonText(const nlohmann::ordered_json& value, bool spaced) {
    if (!spaced || !value.is_structured()) {
        return Scalar(value);
    }
    const bool object = value.is_object();
    std::string text(1, object ? '{' : '[');
    const char* separator = "";
    for (auto item = value.begin(); item != value.end(); ++item) {
        text += separator;
        if (object) {
            text += Scalar(item.key()) + ": ";
        }
        text += JsonText(item.value(), true);
        separator = ", ";
    }
    return text + (object ? '}' : ']');
}

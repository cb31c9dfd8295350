#include "converter/Converter.h"

#include <array>
#include <ctime>
#include <optional>

namespace {

constexpr std::uint8_t MarkerFirst = 'I';
constexpr std::uint8_t MarkerSecond = 'D';

// Register k holds byte 2k in its low half and byte 2k + 1 in its high half.
using TRecordBytes = std::array<std::uint8_t, 2 * TConvInfoItem::RegisterCount>;

std::uint16_t Register(const TRecordBytes& bytes, std::size_t k) {
    return static_cast<std::uint16_t>(bytes[2 * k] | (bytes[2 * k + 1] << 8));
}

// Two packed decimal digits; none when a nibble is not a decimal digit.
std::optional<unsigned> PackedDecimal(std::uint8_t byte) {
    const unsigned high = byte >> 4;
    const unsigned low = byte & 0x0F;
    if (high > 9 || low > 9) {
        return std::nullopt;
    }
    return high * 10 + low;
}

std::uint8_t Packed(unsigned twoDigits) {
    return static_cast<std::uint8_t>(((twoDigits / 10 % 10) << 4) | (twoDigits % 10));
}

// The date of bytes 2 to 5 when it is a real calendar date of the years 1 to 9999.
std::optional<std::chrono::year_month_day> DecodeDate(const TRecordBytes& bytes) {
    const auto centuries = PackedDecimal(bytes[2]);
    const auto years = PackedDecimal(bytes[3]);
    const auto month = PackedDecimal(bytes[4]);
    const auto day = PackedDecimal(bytes[5]);
    if (!centuries || !years || !month || !day) {
        return std::nullopt;
    }
    const int year = static_cast<int>(*centuries * 100 + *years);
    const std::chrono::year_month_day date{std::chrono::year{year}, std::chrono::month{*month},
                                           std::chrono::day{*day}};
    if (year < 1 || !date.ok()) {
        return std::nullopt;
    }
    return date;
}

} // namespace

std::chrono::year_month_day Today() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return std::chrono::year_month_day{std::chrono::year{local.tm_year + 1900},
                                       std::chrono::month{static_cast<unsigned>(local.tm_mon + 1)},
                                       std::chrono::day{static_cast<unsigned>(local.tm_mday)}};
}

TConvInfoItem::TConvInfoItem() {
    Clear();
}

void TConvInfoItem::Clear() {
    Flags = 0;
    User.clear();
    Date = Today();
    Id1 = 0;
    Id2 = 0;
    Version = 0;
}

void TConvInfoItem::SetDate(std::chrono::year_month_day date) {
    Date = date;
    Flags |= HasDate;
}

void TConvInfoItem::SetUser(const std::string& user) {
    if (user.size() > 1) {
        User = user;
        Flags |= HasUser;
    }
}

void TConvInfoItem::SetId1(std::uint16_t id1) {
    Id1 = id1;
    Flags |= HasId1;
}

void TConvInfoItem::SetId2(std::int32_t id2) {
    Id2 = id2;
    Flags |= HasId2;
}

void TConvInfoItem::SetVersion(std::uint16_t version) {
    Version = version;
}

bool TConvInfoItem::Decode(Unsigned16Vector block, std::size_t index) {
    Clear();
    if (index >= block.size() / RegisterCount) {
        return false;
    }
    TRecordBytes bytes{};
    for (std::size_t k = 0; k < RegisterCount; ++k) {
        const std::uint16_t value = block[RegisterCount * index + k];
        bytes[2 * k] = static_cast<std::uint8_t>(value & 0xFF);
        bytes[2 * k + 1] = static_cast<std::uint8_t>(value >> 8);
    }
    if (bytes[0] != MarkerFirst || bytes[1] != MarkerSecond) {
        return false;
    }
    if (const auto date = DecodeDate(bytes)) {
        SetDate(*date);
    }
    SetUser(std::string{static_cast<char>(bytes[6]), static_cast<char>(bytes[7])});
    SetId1(Register(bytes, 4));
    const std::uint32_t id2 = Register(bytes, 5) | (std::uint32_t{Register(bytes, 6)} << 16);
    SetId2(static_cast<std::int32_t>(id2));
    SetVersion(Register(bytes, 7));
    return IsValid();
}

void TConvInfoItem::Encode(Unsigned16Vector& block) const {
    if (!IsValid()) {
        throw std::logic_error("TConvInfoItem: Record invalid!");
    }
    // The record is dated the day it is written, whatever Date holds.
    const std::chrono::year_month_day today = Today();
    const auto year = static_cast<unsigned>(static_cast<int>(today.year()));
    const auto id2 = static_cast<std::uint32_t>(Id2);

    TRecordBytes bytes{};
    bytes[0] = MarkerFirst;
    bytes[1] = MarkerSecond;
    bytes[2] = Packed(year / 100);
    bytes[3] = Packed(year % 100);
    bytes[4] = Packed(static_cast<unsigned>(today.month()));
    bytes[5] = Packed(static_cast<unsigned>(today.day()));
    for (std::size_t i = 0; i < 2 && i < User.size(); ++i) {
        bytes[6 + i] = static_cast<std::uint8_t>(User[i]);
    }
    const std::array<std::uint16_t, 4> words{Id1, static_cast<std::uint16_t>(id2 & 0xFFFF),
                                             static_cast<std::uint16_t>(id2 >> 16), Version};
    for (std::size_t i = 0; i < words.size(); ++i) {
        bytes[8 + 2 * i] = static_cast<std::uint8_t>(words[i] & 0xFF);
        bytes[9 + 2 * i] = static_cast<std::uint8_t>(words[i] >> 8);
    }
    for (std::size_t k = 0; k < RegisterCount; ++k) {
        block.push_back(Register(bytes, k));
    }
}

#include "converter/Converter.h"

#include <array>
#include <ctime>
#include <optional>

namespace {

constexpr std::uint8_t MarkerFirst = 'I';
constexpr std::uint8_t MarkerSecond = 'D';

// Register k holds byte 2k in its low half and byte 2k + 1 in its high half.
using TRecordBytes = std::array<std::uint8_t, 2 * TConvInfoItem::RegisterCount>;

template <std::size_t N>
constexpr std::uint16_t Register(const std::array<std::uint8_t, N>& bytes, std::size_t k) {
    return static_cast<std::uint16_t>(bytes[2 * k] | (bytes[2 * k + 1] << 8));
}

void PutRegister(TRecordBytes& bytes, std::size_t k, std::uint16_t value) {
    bytes[2 * k] = static_cast<std::uint8_t>(value & 0xFF);
    bytes[2 * k + 1] = static_cast<std::uint8_t>(value >> 8);
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
#ifdef _WIN32
    localtime_s(&local, &now); // the Windows C library's form, arguments swapped
#else
    localtime_r(&now, &local);
#endif
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
        PutRegister(bytes, k, block[RegisterCount * index + k]);
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
    PutRegister(bytes, 4, Id1);
    PutRegister(bytes, 5, static_cast<std::uint16_t>(id2 & 0xFFFF));
    PutRegister(bytes, 6, static_cast<std::uint16_t>(id2 >> 16));
    PutRegister(bytes, 7, Version);
    for (std::size_t k = 0; k < RegisterCount; ++k) {
        block.push_back(Register(bytes, k));
    }
}

// ---- TConverter ------------------------------------------------------------------------------

namespace {

// Where a converter keeps what the system reads and writes; the generation decides.
struct TRegisterMap {
    std::int32_t Version;
    std::int32_t Loader;
    std::int32_t RecordBase;
};

// Identification words 0, 0, 0 mark a converter of the old generation.
constexpr TRegisterMap OldMap{300, 65000, 60000};
constexpr std::int32_t OldCommandRegister = 205;
constexpr TRegisterMap CurrentMap{65202, 65500, 65300};

// The command register of the current generation by converter type; other types keep theirs.
struct TCommandRegister {
    std::int32_t Type;
    std::int32_t Register;
};
constexpr std::array<TCommandRegister, 2> CommandRegisters{{{0, 6000}, {5, 46000}}};

constexpr std::int32_t IdentWords = 3;
constexpr std::uint16_t CommandValue = 1;

// "KOVA_BSL" with its terminating zero, padded to ten bytes, packed as a record is.
constexpr std::array<std::uint16_t, 5> ActivationRegisters() {
    constexpr char text[] = "KOVA_BSL";
    std::array<std::uint8_t, 10> bytes{};
    for (std::size_t i = 0; i < sizeof text; ++i) {
        bytes[i] = static_cast<std::uint8_t>(text[i]);
    }
    std::array<std::uint16_t, 5> registers{};
    for (std::size_t k = 0; k < registers.size(); ++k) {
        registers[k] = Register(bytes, k);
    }
    return registers;
}
static_assert(ActivationRegisters()[0] == 0x4F4B && ActivationRegisters()[4] == 0x0000);

} // namespace

TConverter::TConverter() : Records(std::make_unique<std::array<TConvInfoItem, RecordCapacity>>()) {}

TConverter::~TConverter() = default;

std::uint8_t TConverter::Slave() const {
    return static_cast<std::uint8_t>(Address);
}

bool TConverter::Connect() {
    if (!Open()) {
        return false;
    }
    if (!Identify()) {
        Close();
        return false;
    }
    return true;
}

bool TConverter::Identify() {
    // A reply may carry fewer values than asked for; only a complete identification counts.
    if (!ReadRegisters(Slave(), IdentRegister, IdentWords, Registers) ||
        Registers.size() < static_cast<std::size_t>(IdentWords)) {
        return false;
    }
    Type = Registers[0];
    SubType = Registers[1];
    Version = Registers[2];

    if (Type == 0 && SubType == 0 && Version == 0) {
        VersionRegister = OldMap.Version;
        LoaderRegister = OldMap.Loader;
        RecordBase = OldMap.RecordBase;
        CommandRegister = OldCommandRegister;
        if (!ReadRegisters(Slave(), VersionRegister, 1, Registers) || Registers.empty()) {
            return false;
        }
        Version = Registers[0];
        return true;
    }
    VersionRegister = CurrentMap.Version;
    LoaderRegister = CurrentMap.Loader;
    RecordBase = CurrentMap.RecordBase;
    for (const TCommandRegister& command : CommandRegisters) {
        if (command.Type == Type) {
            CommandRegister = command.Register;
        }
    }
    return true;
}

bool TConverter::OldGeneration() const {
    return RecordBase == OldMap.RecordBase;
}

void TConverter::SetAddress(std::uint8_t address) {
    Address = address;
}

std::int32_t TConverter::GetAddress() {
    return Address;
}

std::int32_t TConverter::GetType() {
    return Type;
}

std::int32_t TConverter::GetSubType() {
    return SubType;
}

std::int32_t TConverter::GetVersion() {
    return Version;
}

TConvInfoItem& TConverter::Record(std::uint16_t index) {
    if (index >= RecordCapacity) {
        throw std::out_of_range("TConverter: Index out of Range!");
    }
    return (*Records)[index];
}

std::int32_t TConverter::RecordCount() {
    std::uint16_t count = 0;
    while (count < RecordCapacity && Record(count).IsValid()) {
        ++count;
    }
    return count;
}

bool TConverter::WriteCommand() {
    Registers.assign(1, CommandValue);
    return WriteRegisters(Slave(), CommandRegister, Registers);
}

bool TConverter::WriteRecord(std::uint16_t index) {
    if (index >= RecordCapacity) {
        return false;
    }
    Registers.clear();
    (*Records)[index].Encode(Registers); // an invalid record throws before anything is sent
    const auto first = static_cast<std::int32_t>(TConvInfoItem::RegisterCount * index);
    if (!WriteRegisters(Slave(), RecordBase + first, Registers)) {
        return false;
    }
    // Only the type 0, subtype 0 converter keeps a record count.
    if (Type != 0 || SubType != 0) {
        return true;
    }
    Registers.assign(1, static_cast<std::uint16_t>(index + 1));
    return WriteRegisters(Slave(), RecordCountRegister, Registers);
}

bool TConverter::ReadRecords() {
    constexpr auto area = static_cast<std::int32_t>(TConvInfoItem::RegisterCount * RecordCapacity);
    if (!ReadRegisters(Slave(), RecordBase, area, Registers)) {
        return false;
    }
    // A short area leaves the records it does not reach invalid.
    for (std::size_t i = 0; i < RecordCapacity; ++i) {
        (*Records)[i].Decode(Registers, i);
    }
    return true;
}

bool TConverter::ActivateLoader() {
    constexpr auto text = ActivationRegisters();
    Registers.assign(text.begin(), text.end());
    // The converter leaves its application at once and never confirms; a confirmation means
    // it stayed where it was.
    return !WriteRegisters(Slave(), LoaderRegister, Registers);
}

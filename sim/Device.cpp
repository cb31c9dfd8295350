#include "sim/Device.h"

#include "sim/Crc.h"

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {

constexpr std::uint8_t ReadHoldingRegisters = 3;
constexpr std::uint8_t WriteSingleRegister = 6;
constexpr std::uint8_t WriteMultipleRegisters = 16;
constexpr std::uint8_t ExceptionFlag = 0x80;
constexpr std::uint8_t IllegalFunction = 1;
constexpr std::uint8_t IllegalDataAddress = 2;
constexpr std::uint8_t IllegalDataValue = 3;
constexpr std::uint16_t MaxReadQuantity = 125;
constexpr std::uint16_t MaxWriteQuantity = 123;
constexpr std::uint8_t Broadcast = 0;

constexpr std::uint16_t StartApplication = 0;
constexpr std::uint16_t EraseSegment = 1;
constexpr std::uint16_t WriteWords = 2;
constexpr std::uint16_t ReadWords = 3;
constexpr std::size_t ReadBlockWords = 32;
constexpr std::size_t LoaderHeader = 6;

constexpr std::uint16_t OldVersionRegister = 300;
constexpr std::uint16_t OldLoaderRegister = 65000;
constexpr std::uint16_t OldRecordBase = 60000;
constexpr std::uint16_t OldCommandRegister = 205;
constexpr std::uint16_t CommandRegisterType5 = 46000;
constexpr std::uint16_t Type5 = 5;

constexpr char ActivationText[] = "KOVA_BSL"; // with its terminating zero: nine bytes

std::uint16_t BigEndian(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

std::uint16_t LittleEndian(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

void PutBigEndian(std::vector<std::uint8_t>& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

void PutLittleEndian(std::vector<std::uint8_t>& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

std::uint8_t Bcd(int value) {
    return static_cast<std::uint8_t>(((value / 10) << 4) | (value % 10));
}

// A plausible download record of the device's past: 2024-03-(index+1), user "SI".
std::array<std::uint16_t, 8> PresetRecord(int index, std::uint16_t version) {
    const std::uint32_t id2 = 50000U + static_cast<std::uint32_t>(index);
    return {0x4449,
            static_cast<std::uint16_t>(Bcd(20) | (Bcd(24) << 8)),
            static_cast<std::uint16_t>(Bcd(3) | (Bcd(index + 1) << 8)),
            static_cast<std::uint16_t>('S' | ('I' << 8)),
            static_cast<std::uint16_t>(1000 + index),
            static_cast<std::uint16_t>(id2 & 0xFFFF),
            static_cast<std::uint16_t>(id2 >> 16),
            version};
}

// What main flash holds before the first download: anything but blank.
std::uint16_t OldFirmwareWord(std::uint32_t address) {
    return static_cast<std::uint16_t>((address * 0x9E37U) >> 3);
}

void AppendCrcModbus(std::vector<std::uint8_t>& bytes) {
    PutLittleEndian(bytes, CrcModbus(bytes));
}

void AppendCrcCcitt(std::vector<std::uint8_t>& bytes) {
    PutLittleEndian(bytes, CrcCcitt(std::span(bytes).subspan(2)));
}

} // namespace

std::array<std::uint16_t, 5> ActivationRegisters() {
    std::array<std::uint8_t, 10> bytes{};
    std::copy(std::begin(ActivationText), std::end(ActivationText), bytes.begin());
    std::array<std::uint16_t, 5> registers{};
    for (std::size_t k = 0; k < registers.size(); ++k) {
        registers[k] = static_cast<std::uint16_t>(bytes[2 * k] | (bytes[2 * k + 1] << 8));
    }
    return registers;
}

std::string Hex(std::span<const std::uint8_t> bytes) {
    std::string text;
    char digits[4];
    for (std::uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02X ", byte);
        text += digits;
    }
    if (!text.empty()) {
        text.pop_back();
    }
    return text;
}

RegisterMap MapOf(const DeviceOptions& options) {
    RegisterMap map;
    if (options.Gen == Generation::Old) {
        map.VersionAlone = OldVersionRegister;
        map.Loader = OldLoaderRegister;
        map.Records = OldRecordBase;
        map.Command = OldCommandRegister;
    } else if (options.Type == Type5) {
        map.Command = CommandRegisterType5;
    }
    return map;
}

Device::Device(const DeviceOptions& options)
    : Settings(options), Registers(MapOf(options)), AppAddress(options.Address),
      AppBaud(options.Baud), LoaderBaud(options.Baud) {
    RecordArea.fill(Blank);
    const int preset = std::clamp(options.PresetRecords, 0, int{MaxRecordCount});
    for (int i = 0; i < preset; ++i) {
        const auto record = PresetRecord(i, options.Version);
        std::copy(record.begin(), record.end(), RecordArea.begin() + 8 * i);
    }
    RecordCountValue = static_cast<std::uint16_t>(preset);
    if (options.NewDevice || options.InLoader) {
        CurrentMode = Mode::Loader;
    }
    if (!options.NewDevice && !options.BlankFlash) {
        for (std::uint32_t a = MainFlashStart; a < FlashBytes; a += 2) {
            const std::uint16_t word = OldFirmwareWord(a);
            Rom.Load(static_cast<std::uint16_t>(a), std::span(&word, 1));
        }
    }
    if (FaultIs(FaultKind::NotBlank)) {
        Rom.SetStuckAtZero(options.Defect.Address);
    }
    if (FaultIs(FaultKind::StuckWord)) {
        Rom.SetUnprogrammable(options.Defect.Address);
    }
}

Protocol Device::Listening() const {
    return CurrentMode == Mode::Application ? Protocol::ModbusRtu : Protocol::Loader;
}

int Device::Baud() const {
    return CurrentMode == Mode::Application ? AppBaud : LoaderBaud;
}

void Device::Note(const std::string& text) const {
    if (Log) {
        Log(text);
    }
}

Response Device::Handle(std::span<const std::uint8_t> frame) {
    const std::uint64_t before = Stats.Handled;
    Response response =
        CurrentMode == Mode::Application ? HandleModbus(frame) : HandleLoader(frame);
    if (FaultIs(FaultKind::LineVanishes) && Stats.Handled != before &&
        Stats.Handled == Settings.Defect.Nth) {
        Note("fault: the line vanishes");
        response.CloseLine = true;
    }
    return response;
}

// ---- application ----

Response Device::HandleModbus(std::span<const std::uint8_t> frame) {
    const std::uint8_t slave = frame[0];
    if (slave != AppAddress && slave != Broadcast) {
        ++Stats.OtherAddress;
        Note("not for this slave");
        return {};
    }
    ++Stats.Handled;
    if (StartedByLoader && FaultIs(FaultKind::SilentApplication)) {
        return {};
    }
    std::optional<Reply> reply;
    if (Settings.Foreign) {
        // A device of another kind: none of the converter's registers is there, and nothing
        // is stored.
        reply = Exception(frame[1], IllegalDataAddress);
    } else if (frame[1] == ReadHoldingRegisters) {
        reply = ReadHolding(frame);
    } else if (frame[1] == WriteSingleRegister || frame[1] == WriteMultipleRegisters) {
        reply = WriteHolding(frame);
    } else {
        reply = Exception(frame[1], IllegalFunction);
    }
    if (slave == Broadcast || !reply) {
        return {};
    }
    ++Stats.ApplicationReplies;
    Corrupt(Side::Application, *reply);
    return {std::move(reply), false};
}

std::optional<std::uint16_t> Device::ReadRegister(std::uint32_t reg) const {
    const bool old = Settings.Gen == Generation::Old;
    if (reg >= Registers.Ident && reg < Registers.Ident + 3U) {
        if (old) {
            return 0;
        }
        const std::array<std::uint16_t, 3> ident{Settings.Type, Settings.SubType, Settings.Version};
        return ident[reg - Registers.Ident];
    }
    if (Registers.VersionAlone == reg) {
        return Settings.Version;
    }
    if (reg >= Registers.Records && reg < Registers.Records + std::uint32_t{RecordRegisters}) {
        return RecordArea[reg - Registers.Records];
    }
    if (reg == RecordCountRegister) {
        return RecordCountValue;
    }
    if (reg == Registers.Command) {
        return CommandValue;
    }
    return std::nullopt;
}

std::optional<Reply> Device::ReadHolding(std::span<const std::uint8_t> frame) {
    const std::uint16_t start = BigEndian(frame, 2);
    const std::uint16_t quantity = BigEndian(frame, 4);
    if (quantity == 0 || quantity > MaxReadQuantity) {
        return Exception(frame[1], IllegalDataValue);
    }
    std::vector<std::uint8_t> body{AppAddress, frame[1], static_cast<std::uint8_t>(2 * quantity)};
    for (std::uint32_t reg = start; reg < start + std::uint32_t{quantity}; ++reg) {
        const auto value = ReadRegister(reg);
        if (!value) {
            return Exception(frame[1], IllegalDataAddress);
        }
        PutBigEndian(body, *value);
    }
    return ModbusReply(std::move(body));
}

// 0 when the write is acceptable as a whole, else the exception code. Nothing is written by a
// request that is refused.
std::uint8_t Device::CheckWrite(std::uint32_t start, std::span<const std::uint16_t> values) const {
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::uint32_t reg = start + i;
        const bool record =
            reg >= Registers.Records && reg < Registers.Records + std::uint32_t{RecordRegisters};
        if (reg == RecordCountRegister) {
            if (values[i] > MaxRecordCount) {
                return IllegalDataValue;
            }
        } else if (!record && reg != Registers.Command) {
            return IllegalDataAddress;
        }
    }
    return 0;
}

void Device::StoreWrite(std::uint32_t start, std::span<const std::uint16_t> values) {
    bool record = false;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::uint32_t reg = start + i;
        if (reg == RecordCountRegister) {
            RecordCountValue = values[i];
            ++Stats.RecordCountWrites;
        } else if (reg == Registers.Command) {
            CommandValue = values[i];
            Stats.LastCommand = values[i];
            ++Stats.CommandWrites;
        } else {
            RecordArea[reg - Registers.Records] = values[i];
            record = true;
        }
    }
    if (record) {
        ++Stats.RecordWrites;
    }
}

std::optional<Reply> Device::WriteHolding(std::span<const std::uint8_t> frame) {
    const std::uint8_t function = frame[1];
    const std::uint16_t start = BigEndian(frame, 2);
    std::vector<std::uint16_t> values;
    if (function == WriteSingleRegister) {
        values.push_back(BigEndian(frame, 4));
    } else {
        const std::uint16_t quantity = BigEndian(frame, 4);
        const std::uint8_t byteCount = frame[6];
        if (quantity == 0 || quantity > MaxWriteQuantity || byteCount != 2 * quantity ||
            frame.size() != 9U + byteCount) {
            return Exception(function, IllegalDataValue);
        }
        for (std::size_t i = 0; i < quantity; ++i) {
            values.push_back(BigEndian(frame, 7 + 2 * i));
        }
    }
    const std::uint32_t end = start + values.size();
    const std::uint32_t loaderEnd = Registers.Loader + ActivationRegisters().size();
    if (start < loaderEnd && end > Registers.Loader) {
        if (function == WriteMultipleRegisters && start == Registers.Loader &&
            values.size() == ActivationRegisters().size()) {
            return Activate(frame);
        }
        return Exception(function, IllegalDataAddress);
    }
    if (const std::uint8_t refusal = CheckWrite(start, values); refusal != 0) {
        return Exception(function, refusal);
    }
    StoreWrite(start, values);
    return ModbusReply({frame.begin(), frame.begin() + 6});
}

std::optional<Reply> Device::Activate(std::span<const std::uint8_t> frame) {
    const auto expected = ActivationRegisters();
    for (std::size_t k = 0; k < expected.size(); ++k) {
        if (BigEndian(frame, 7 + 2 * k) != expected[k]) {
            return Exception(frame[1], IllegalDataValue);
        }
    }
    ++Stats.Activations;
    if (FaultIs(FaultKind::ConfirmActivation)) {
        Note("fault: activation confirmed, application keeps running");
        return ModbusReply({frame.begin(), frame.begin() + 6});
    }
    CurrentMode = Mode::Loader;
    LoaderBaud = AppBaud;
    Note("boot loader started at " + std::to_string(LoaderBaud) + " baud");
    return std::nullopt;
}

Reply Device::Exception(std::uint8_t function, std::uint8_t code) {
    ++Stats.Exceptions;
    Note("exception " + std::to_string(code) + " to function " + std::to_string(function));
    return ModbusReply({AppAddress, static_cast<std::uint8_t>(function | ExceptionFlag), code});
}

Reply Device::ModbusReply(std::vector<std::uint8_t> body) {
    AppendCrcModbus(body);
    return {std::move(body), {}};
}

// ---- boot loader ----

Reply Device::LoaderReply(std::uint16_t code, std::uint16_t address,
                          std::span<const std::uint16_t> words) {
    std::vector<std::uint8_t> bytes{'D', 'L'};
    PutLittleEndian(bytes, code);
    PutLittleEndian(bytes, address);
    for (std::uint16_t word : words) {
        PutLittleEndian(bytes, word);
    }
    AppendCrcCcitt(bytes);
    return {std::move(bytes), {}};
}

Response Device::HandleLoader(std::span<const std::uint8_t> frame) {
    ++Stats.Handled;
    const std::uint16_t code = LittleEndian(frame, 2);
    const std::uint16_t address = LittleEndian(frame, 4);
    const std::size_t count = (frame.size() - 8) / 2;
    if (FaultIs(FaultKind::SilentLoader)) {
        return {};
    }
    LoaderHistory.push_back({code, address, static_cast<std::uint16_t>(count)});
    Reply reply;
    switch (code) {
    case StartApplication:
        reply = LoaderReply(code, address, {});
        ++Stats.Starts;
        CurrentMode = Mode::Application;
        StartedByLoader = true;
        if (Settings.NewDevice) {
            AppAddress = FactoryAddress;
            AppBaud = FactoryBaud;
        }
        Note("application started at address " + std::to_string(AppAddress) + ", " +
             std::to_string(AppBaud) + " baud");
        break;
    case EraseSegment: {
        const Segment segment = Rom.Erase(address);
        ++Stats.Erases;
        reply = LoaderReply(code, address, {});
        reply.Work = Settings.EraseTime;
        char text[48];
        std::snprintf(text, sizeof text, "erased 0x%04X..0x%04X", segment.start,
                      segment.start + segment.size - 1);
        Note(text);
        break;
    }
    case WriteWords:
        for (std::size_t i = 0; i < count; ++i) {
            Rom.Program(static_cast<std::uint16_t>(address + 2 * i),
                        LittleEndian(frame, LoaderHeader + 2 * i));
        }
        ++Stats.PagesWritten;
        Stats.WordsWritten += count;
        reply = LoaderReply(code, address, {});
        reply.Work = Settings.WordWriteTime * static_cast<int>(count);
        break;
    case ReadWords: {
        std::array<std::uint16_t, ReadBlockWords> words{};
        for (std::size_t i = 0; i < words.size(); ++i) {
            words[i] = Rom.Read(static_cast<std::uint16_t>(address + 2 * i));
        }
        ++Stats.Reads;
        reply = LoaderReply(code, address, words);
        break;
    }
    default:
        Note("unknown loader command " + std::to_string(code) + " ignored");
        return {};
    }
    ++Stats.LoaderReplies;
    Corrupt(Side::Loader, reply);
    return {std::move(reply), false};
}

// ---- reply faults ----

void Device::Corrupt(Side side, Reply& reply) {
    const Fault& fault = Settings.Defect;
    if (fault.Kind != FaultKind::BadCrc && fault.Kind != FaultKind::BadEcho &&
        fault.Kind != FaultKind::DropBytes) {
        return;
    }
    if (fault.Where != Side::Any && fault.Where != side) {
        return;
    }
    const std::uint64_t number = fault.Where == Side::Application ? Stats.ApplicationReplies
                                 : fault.Where == Side::Loader
                                     ? Stats.LoaderReplies
                                     : Stats.ApplicationReplies + Stats.LoaderReplies;
    if (number < fault.Nth || (fault.Times != 0 && number >= fault.Nth + fault.Times)) {
        return;
    }
    auto& bytes = reply.Bytes;
    switch (fault.Kind) {
    case FaultKind::BadCrc:
        bytes.back() ^= 0x5A;
        Note("fault: checksum of reply " + std::to_string(number) + " spoilt");
        break;
    case FaultKind::DropBytes:
        bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2));
        Note("fault: reply " + std::to_string(number) + " loses a byte");
        break;
    default: // BadEcho: a consistent frame that names the wrong place
        bytes.resize(bytes.size() - 2);
        if (side == Side::Loader) {
            const auto address = static_cast<std::uint16_t>(LittleEndian(bytes, 4) + 2);
            bytes[4] = static_cast<std::uint8_t>(address & 0xFF);
            bytes[5] = static_cast<std::uint8_t>(address >> 8);
            AppendCrcCcitt(bytes);
        } else {
            if (bytes[1] == WriteSingleRegister || bytes[1] == WriteMultipleRegisters) {
                ++bytes[3]; // register echo of a write
            } else {
                ++bytes[0]; // another slave's answer
            }
            AppendCrcModbus(bytes);
        }
        Note("fault: reply " + std::to_string(number) + " echoes the wrong place");
        break;
    }
}

} // namespace sim

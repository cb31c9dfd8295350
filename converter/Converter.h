#pragma once

#include "link/Modbus.h"
#include "link/Types.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

// Today's date on the local calendar.
std::chrono::year_month_day Today();

// One download record as the converter keeps it: eight registers.
class TConvInfoItem {
public:
    static constexpr std::uint16_t HasDate = 1;
    static constexpr std::uint16_t HasUser = 2;
    static constexpr std::uint16_t HasId1 = 4;
    static constexpr std::uint16_t HasId2 = 8;
    static constexpr std::uint16_t Complete = HasDate | HasUser | HasId1 | HasId2;
    static constexpr std::size_t RegisterCount = 8;

    TConvInfoItem();

    void Clear();
    void SetDate(std::chrono::year_month_day date);
    void SetUser(const std::string& user);
    void SetId1(std::uint16_t id1);
    void SetId2(std::int32_t id2);
    void SetVersion(std::uint16_t version);
    std::uint16_t GetVersion() const { return Version; }
    bool IsValid() const { return Flags == Complete; }

    bool Decode(Unsigned16Vector block, std::size_t index);
    void Encode(Unsigned16Vector& block) const; // throws std::logic_error when not valid

    std::uint16_t Flags = 0;
    std::chrono::year_month_day Date;
    std::string User;
    std::uint16_t Id1 = 0;
    std::int32_t Id2 = 0;
    std::uint16_t Version = 0;
};

class TConverter : public TModbus {
public:
    static constexpr std::uint16_t RecordCapacity = 16;

    TConverter();
    virtual ~TConverter();

    bool Connect();
    // Reads the identification on the open port and picks the generation's register map;
    // the port stays open either way.
    bool Identify();
    // The map of the last successful identification is the old generation's.
    bool OldGeneration() const;

    virtual void SetAddress(std::uint8_t address);
    virtual std::int32_t GetAddress();
    virtual std::int32_t GetType();
    virtual std::int32_t GetSubType();
    virtual std::int32_t GetVersion();
    virtual TConvInfoItem& Record(std::uint16_t index); // throws std::out_of_range
    virtual std::int32_t RecordCount();
    virtual bool WriteCommand();
    virtual bool WriteRecord(std::uint16_t index);
    virtual bool ReadRecords();
    virtual bool ActivateLoader();

    std::int32_t GetCommandRegister() const { return CommandRegister; }
    std::int32_t GetVersionRegister() const { return VersionRegister; }
    std::int32_t GetLoaderRegister() const { return LoaderRegister; }
    std::int32_t GetRecordBase() const { return RecordBase; }

protected:
    std::uint8_t Slave() const; // Address as the requests carry it

    std::int32_t Address = -1;
    std::int32_t Type = 0;
    std::int32_t SubType = 0;
    std::int32_t Version = -1;
    std::unique_ptr<std::array<TConvInfoItem, RecordCapacity>> Records;
    Unsigned16Vector Registers;
    std::int32_t CommandRegister = 6000;
    std::int32_t IdentRegister = 65200;
    std::int32_t VersionRegister = 65202;
    std::int32_t LoaderRegister = 65500;
    std::int32_t RecordBase = 65300;
    std::int32_t RecordCountRegister = 60128;
};

#pragma once

#include <atomic>
#include <cstdint>
#include <modbus/modbus.h>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

// libmodbus as an RTU slave on the master side of a pty, answering in its own thread: another
// implementation's framing, CRC and exception replies. It holds the registers of one window,
// register k holding 0x4000 + k (wrapping) until a test or the master writes it. Whoever links
// it links libmodbus too.
class TLibmodbusSlave {
public:
    static constexpr int Address = 1;

    TLibmodbusSlave(int fd, int firstRegister, int registerCount) : First(firstRegister) {
        Context = modbus_new_rtu("/dev/null", 19200, 'N', 8, 1); // the path is never opened
        Map = modbus_mapping_new_start_address(0, 0, 0, 0, static_cast<unsigned>(firstRegister),
                                               static_cast<unsigned>(registerCount), 0, 0);
        if (!Context || !Map || modbus_set_slave(Context, Address) != 0 ||
            modbus_set_socket(Context, fd) != 0 ||
            modbus_set_indication_timeout(Context, 0, 50000) != 0) {
            Free();
            throw std::runtime_error("libmodbus slave setup failed");
        }
        for (int i = 0; i < registerCount; ++i) {
            Map->tab_registers[i] = static_cast<std::uint16_t>(0x4000 + i);
        }
        Worker = std::thread([this] { Serve(); });
    }

    // Stops before the pty goes: libmodbus spins once the other end is gone.
    ~TLibmodbusSlave() {
        Stop = true;
        Worker.join();
        Free();
    }

    TLibmodbusSlave(const TLibmodbusSlave&) = delete;
    TLibmodbusSlave& operator=(const TLibmodbusSlave&) = delete;

    std::uint16_t Register(int address) const {
        std::lock_guard guard(Lock);
        return Map->tab_registers[address - First];
    }
    void SetRegister(int address, std::uint16_t value) {
        std::lock_guard guard(Lock);
        Map->tab_registers[address - First] = value;
    }

    // Function codes of the requests that reached the slave, in order.
    std::vector<int> Functions() const {
        std::lock_guard guard(Lock);
        return Seen;
    }

private:
    void Serve() {
        std::vector<std::uint8_t> request(MODBUS_RTU_MAX_ADU_LENGTH);
        while (!Stop) {
            const int length = modbus_receive(Context, request.data());
            if (length <= 0) {
                continue; // quiet line (indication timeout) or a frame for another slave
            }
            std::lock_guard guard(Lock);
            Seen.push_back(request[1]);
            modbus_reply(Context, request.data(), length, Map);
        }
    }

    void Free() {
        if (Map) {
            modbus_mapping_free(Map);
        }
        if (Context) {
            modbus_free(Context); // not modbus_close: the pty belongs to the test
        }
    }

    int First;
    modbus_t* Context = nullptr;
    modbus_mapping_t* Map = nullptr;
    mutable std::mutex Lock;
    std::vector<int> Seen;
    std::atomic<bool> Stop = false;
    std::thread Worker;
};

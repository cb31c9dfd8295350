// fwloader ports on a made-up system: sysfs and /dev in a temporary folder, the USB adapter's
// device file a real pseudo-terminal.
#include "cli/Ports.h"

#include "cli/Cli.h"
#include "cli/Console.h"
#include "tests/support/PtyPair.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const std::string ById = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
constexpr const char* Hub = "sys/devices/pci0000:00/0000:00:14.0/usb1";

struct TRun {
    int Code = -1;
    std::string Out;
    std::string Err;
};

class Ports : public ::testing::Test {
protected:
    void SetUp() override {
        fs::remove_all(Root);
        // The root hub above both adapters has descriptors of its own: the nearest ones count.
        Usb(Hub, "1d6b", "0002", "Linux 6.1.0 xhci-hcd", "xHCI Host Controller", "");
        Usb(Hub + std::string("/1-2"), "0403", "6001", "FTDI", "FT232R USB UART", "A50285BI");
        Tty("ttyUSB0", Hub + std::string("/1-2/1-2:1.0/ttyUSB0"));
        Usb(Hub + std::string("/1-3"), "2341", "0043", "Arduino \"LLC\"", "Uno", "");
        Tty("ttyACM0", Hub + std::string("/1-3/1-3:1.0/tty/ttyACM0")); // no device file yet
        Tty("ttyS10", "sys/devices/pnp0/00:02", "4");
        Tty("ttyS2", "sys/devices/pnp0/00:01", "4");
        Tty("ttyS3", "sys/devices/platform/serial8250", "0"); // no UART behind it
        fs::create_directories(Root / "sys/class/tty/tty0");  // a console: no device

        fs::create_directories(Root / "dev/serial/by-id");
        fs::create_symlink(Adapter.SlavePath(), Root / "dev/ttyUSB0");
        std::ofstream(Root / "dev/ttyS2");
        std::ofstream(Root / "dev/ttyS10");
        fs::create_symlink("../../ttyUSB0", Root / ("dev" + ById.substr(4)));
    }
    void TearDown() override { fs::remove_all(Root); }

    void Usb(const std::string& folder, const std::string& vendor, const std::string& product,
             const std::string& maker, const std::string& name, const std::string& serial) {
        fs::create_directories(Root / folder);
        std::ofstream(Root / folder / "idVendor") << vendor << "\n";
        std::ofstream(Root / folder / "idProduct") << product << "\n";
        std::ofstream(Root / folder / "manufacturer") << maker << "\n";
        std::ofstream(Root / folder / "product") << name << "\n";
        if (!serial.empty()) {
            std::ofstream(Root / folder / "serial") << serial << "\n";
        }
    }

    void Tty(const std::string& name, const std::string& device, const std::string& type = "") {
        const fs::path entry = Root / "sys/class/tty" / name;
        fs::create_directories(entry);
        fs::create_directories(Root / device);
        fs::create_symlink(fs::relative(Root / device, entry), entry / "device");
        if (!type.empty()) {
            std::ofstream(entry / "type") << type << "\n";
        }
    }

    TRun Run() {
        std::ostringstream out;
        std::ostringstream err;
        TConsole console(out, err, false);
        TRun run;
        run.Code = RunPorts(Options, console);
        run.Out = out.str();
        run.Err = err.str();
        return run;
    }

    // The settings file's lines; blank ones are the INI writer's business.
    std::string SettingsLines() const {
        std::ifstream in(Settings);
        std::string lines;
        for (std::string line; std::getline(in, line);) {
            lines += line.empty() ? "" : line + "\n";
        }
        return lines;
    }

    const fs::path Root = fs::path(::testing::TempDir()) / ("ports-" + std::to_string(getpid()));
    const std::string Settings = (Root / "firmware-loader.ini").string();
    TPtyPair Adapter;
    TPortsOptions Options{.SysfsRoot = (Root / "sys").string(), .DevRoot = (Root / "dev").string()};
};

TEST_F(Ports, LinesNameEachDeviceWithItsUsbDetailsAndTheComNameLeadingThere) {
    // The adapter is reached by its stable name and by a link of the bench's own; the ttyS by
    // the default rule.
    fs::create_symlink(Root / "dev/ttyUSB0", Root / "bench-adapter");
    std::ofstream(Settings) << "[Ports]\nCOM7=" << ById
                            << "\nCOM8=" << (Root / "bench-adapter").string() << "\n";
    Options.Settings = Settings;
    const TRun run = Run();
    EXPECT_EQ(run.Code, ExitSuccess) << run.Err;
    EXPECT_EQ(
        run.Out,
        "Device        COM        Open                 USB        Manufacturer   Product          "
        "Serial    Stable name\n"
        "/dev/ttyACM0  -          no (no device file)  2341:0043  Arduino \"LLC\"  Uno             "
        " "
        "-         -\n"
        "/dev/ttyS2    COM3       yes                  -          -              -                "
        "-         -\n"
        "/dev/ttyS10   COM11      yes                  -          -              -                "
        "-         -\n"
        "/dev/ttyUSB0  COM7,COM8  yes                  0403:6001  FTDI           FT232R USB UART  "
        "A50285BI  " +
            ById + "\n");
}

TEST_F(Ports, JsonGivesScriptsTheSameFacts) {
    Options.Json = true;
    const TRun run = Run();
    EXPECT_EQ(run.Code, ExitSuccess) << run.Err;
    EXPECT_EQ(
        run.Out,
        "[\n"
        "  {\"path\": \"/dev/ttyACM0\", \"com\": [], \"mayOpen\": false, \"denied\": \"no "
        "device file\", \"byId\": null, \"vendorId\": \"2341\", \"productId\": \"0043\", "
        "\"manufacturer\": \"Arduino \\\"LLC\\\"\", \"product\": \"Uno\", \"serial\": null},\n"
        "  {\"path\": \"/dev/ttyS2\", \"com\": [\"COM3\"], \"mayOpen\": true, \"denied\": "
        "null, \"byId\": null, \"vendorId\": null, \"productId\": null, \"manufacturer\": "
        "null, \"product\": null, \"serial\": null},\n"
        "  {\"path\": \"/dev/ttyS10\", \"com\": [\"COM11\"], \"mayOpen\": true, \"denied\": "
        "null, \"byId\": null, \"vendorId\": null, \"productId\": null, \"manufacturer\": "
        "null, \"product\": null, \"serial\": null},\n"
        "  {\"path\": \"/dev/ttyUSB0\", \"com\": [], \"mayOpen\": true, \"denied\": null, "
        "\"byId\": \"" +
            ById +
            "\", \"vendorId\": \"0403\", \"productId\": \"6001\", \"manufacturer\": "
            "\"FTDI\", \"product\": \"FT232R USB UART\", \"serial\": \"A50285BI\"}\n"
            "]\n");
}

TEST_F(Ports, MapEntersThePortInTheSettingsFileKeepingTheRest) {
    std::ofstream(Settings) << "; the bench's own notes\n[Settings]\nProcessor=0\nCom-Port=6\n\n"
                               "[Ports]\ncom7=/dev/ttyS2\n\n[Bench]\nStation=4\n";
    Options.Settings = Settings;
    Options.Map = "com3=" + ById;
    const TRun run = Run();
    EXPECT_EQ(run.Code, ExitSuccess) << run.Err;
    EXPECT_EQ(SettingsLines(), "; the bench's own notes\n[Settings]\nProcessor=0\nCom-Port=6\n"
                               "[Ports]\ncom7=/dev/ttyS2\nCOM3=" +
                                   ById + "\n[Bench]\nStation=4\n");
    EXPECT_FALSE(fs::exists(Settings + ".new"));
    // The file now leads COM3 to the adapter, as the window will read it.
    EXPECT_TRUE(run.Out.starts_with("COM3=" + ById + " is in the section Ports of " + Settings +
                                    "\nDevice "))
        << run.Out;
    EXPECT_NE(run.Out.find("/dev/ttyS2    COM7 "), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("/dev/ttyUSB0  COM3 "), std::string::npos) << run.Out;
}

TEST_F(Ports, MapRefusesWhatIsNoMapping) {
    Options.Settings = Settings;
    const std::string usage =
        "--map takes COMn=PATH with n from 1 to 255, for example COM3=/dev/ttyUSB0\n";
    for (const std::string map : {"COM0=/dev/ttyS0", "COM256=/dev/ttyS0", "COM03=/dev/ttyS0",
                                  "LPT1=/dev/ttyS0", "COM3=", "COM3"}) {
        Options.Map = map;
        const TRun run = Run();
        EXPECT_EQ(run.Code, ExitUsage) << map;
        EXPECT_EQ(run.Err, usage) << map;
    }
    Options.Settings.clear();
    Options.Map = "COM3=/dev/ttyUSB0";
    const TRun unnamed = Run();
    EXPECT_EQ(unnamed.Code, ExitUsage);
    EXPECT_EQ(unnamed.Err, "--map needs --settings FILE, the file the window reads\n");
    EXPECT_FALSE(fs::exists(Settings));
}

} // namespace

#include "app/Settings.h"

#include "link/Serialport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

class SettingsFileTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "fwl-settings-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        Folder = pattern;
        Path = (Folder / "firmware-loader.ini").string();
    }
    void TearDown() override { fs::remove_all(Folder); }

    void Write(const std::string& text) { std::ofstream(Path, std::ios::binary) << text; }
    std::string Read() const {
        std::ifstream in(Path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    TSettings LoadFrom(const std::string& text) {
        Write(text);
        TSettings settings;
        EXPECT_TRUE(LoadSettingsFile(Path, settings));
        return settings;
    }

    fs::path Folder;
    std::string Path;
};

TEST(SettingsPathTest, ReplacesTheExtensionOfTheExecutable) {
    EXPECT_EQ(SettingsPath("/opt/fw/firmware-loader"), "/opt/fw/firmware-loader.ini");
    EXPECT_EQ(SettingsPath("/opt/fw/Vantrel.exe"), "/opt/fw/Vantrel.ini");
    EXPECT_EQ(SettingsPath("/opt/fw.d/loader"), "/opt/fw.d/loader.ini");
}

// A program run from a folder of its own keeps its settings there; an installed one, whose
// folder is the package manager's, under the user's configuration folder, made on first save.
TEST_F(SettingsFileTest, InstalledProgramKeepsItsSettingsUnderTheUsersConfiguration) {
    const std::string own = (Folder / "tools" / "firmware-loader").string();
    fs::create_directories(Folder / "tools");
    EXPECT_EQ(DefaultSettingsFile(own), (Folder / "tools" / "firmware-loader.ini").string());

    const char* before = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = before != nullptr ? before : "";
    const auto config = Folder / "config";
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    const std::string user = (config / "firmware-loader" / "firmware-loader.ini").string();
    EXPECT_EQ(DefaultSettingsFile("/usr/bin/firmware-loader"), user);
    SaveSettingsFile(user, TSettings{0, "QX", false, 2, 2});
    EXPECT_TRUE(fs::exists(user));

    // A relative XDG_CONFIG_HOME is no folder to go by: ~/.config is.
    setenv("XDG_CONFIG_HOME", "relative/config", 1);
    const std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
    if (!home.empty()) {
        EXPECT_EQ(
            DefaultSettingsFile("/usr/bin/firmware-loader"),
            (fs::path(home) / ".config" / "firmware-loader" / "firmware-loader.ini").string());
    }
    if (before != nullptr) {
        setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    } else {
        unsetenv("XDG_CONFIG_HOME");
    }
}

TEST_F(SettingsFileTest, IntegersTakeBlanksSignsAndHexPrefixes) {
    const struct {
        const char* text;
        int expected;
    } cases[] = {
        {"7", 7},           {"   7", 7},   {"+7", 7},         {"-3", -3},
        {"$1F", 31},        {"x1F", 31},   {"X1f", 31},       {"0x1F", 31},
        {"0X1F", 31},       {"-$10", -16}, {"$FFFFFFFF", -1}, {"2147483647", 2147483647},
        {"abc", -1},        {"", -1},      {"1F", -1},        {"12abc", -1},
        {"$", -1},          {"0x", -1},    {"- 5", -1},       {"2147483648", -1},
        {"$100000000", -1}, {"1.5", -1},
    };
    for (const auto& c : cases) {
        const TSettings settings = LoadFrom(std::string("[Settings]\nCom-Port=") + c.text + "\n");
        EXPECT_EQ(settings.ComPort, c.expected) << "Com-Port=" << c.text;
    }
}

TEST_F(SettingsFileTest, InitialIsAnIntegerAndNonZeroMeansTrue) {
    EXPECT_TRUE(LoadFrom("[Settings]\nInitial=1\n").Initial);
    EXPECT_TRUE(LoadFrom("[Settings]\nInitial=-2\n").Initial);
    EXPECT_TRUE(LoadFrom("[Settings]\nInitial=$10\n").Initial);
    EXPECT_FALSE(LoadFrom("[Settings]\nInitial=0\n").Initial);
    EXPECT_FALSE(LoadFrom("[Settings]\nInitial=yes\n").Initial);
}

TEST_F(SettingsFileTest, NamesMatchWithoutRegardToCase) {
    const TSettings settings = LoadFrom("[settings]\ncom-port=4\nBAUDRATE=1\nuser=AB\n");
    EXPECT_EQ(settings.ComPort, 4);
    EXPECT_EQ(settings.Baudrate, 1);
    EXPECT_EQ(settings.User, "AB");

    SaveSettingsFile(Path, TSettings{0, "QX", false, 5, 3});
    EXPECT_EQ(Read(), "[settings]\n"
                      "com-port=5\n"
                      "BAUDRATE=3\n"
                      "user=QX\n"
                      "Processor=0\n"
                      "Initial=0\n");
}

TEST_F(SettingsFileTest, FailedWriteLeavesTheOldFileWhole) {
    const std::string old = "[Settings]\nCom-Port=4\n\n[Other]\nkept=yes\n";
    Write(old);
    fs::create_directory(Path + ".new"); // the temporary file cannot be made
    EXPECT_THROW(SaveSettingsFile(Path, TSettings{0, "QX", false, 1, 1}), std::runtime_error);
    EXPECT_EQ(Read(), old);
}

TEST_F(SettingsFileTest, PortsSectionMapsComNamesToDevices) {
    Write("[ports]\ncom3=/dev/pts/7\nCOM12=/dev/ttyUSB1\n");
    LoadPortMap(Path);
    EXPECT_EQ(DevicePathOf("COM3"), "/dev/pts/7");
    EXPECT_EQ(DevicePathOf("COM12"), "/dev/ttyUSB1");
    ClearPortMap();
}

} // namespace

// The carried firmware as the executable's own RCDATA resource.
#include "loader/Loader.h"
#include "loader/Resource.h"
#include "tests/loader/MessageRecorder.h"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace {

std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::vector<std::string> ReadCarried(int processor, bool expected) {
    THexLoader loader;
    TMessageRecorder messages;
    loader.SetMessageList(&messages);
    EXPECT_TRUE(loader.SelectProcessor(processor));
    EXPECT_EQ(loader.LoadHexResource("HEX_FILE"), expected);
    return messages.Lines;
}

TEST(ResourceWin32, CarriedFirmwareIsTheFileBuiltIn) {
    const std::string file = FileBytes(FWL_SOURCE_DIR "/resources/firmware.hex");
    ASSERT_EQ(file.size(), 42308u);
    const auto resources = EmbeddedResources();
    const auto hex = std::find_if(resources.begin(), resources.end(),
                                  [](const TEmbeddedResource& r) { return r.Name == "HEX_FILE"; });
    ASSERT_NE(hex, resources.end());
    EXPECT_TRUE(hex->Bytes == file); // byte for byte, not padded by the resource compiler
    EXPECT_EQ(FindResource("HEX_FILE"), file);
}

TEST(ResourceWin32, CarriedFirmwareFitsProcessor0Only) {
    EXPECT_EQ(
        ReadCarried(0, true),
        (std::vector<std::string>{"Reading hexfile....",
                                  "Done reading hexfile (36 sectors, 275 pages, 17540 bytes)!"}));
    EXPECT_EQ(ReadCarried(1, false).back(), "error while reading line 1 of hexfile!");
}

TEST(ResourceWin32, MissingNameThrowsBeforeAnyMessage) {
    THexLoader loader;
    TMessageRecorder messages;
    loader.SetMessageList(&messages);
    EXPECT_THROW(loader.LoadHexResource("NO_SUCH_BLOCK"), EResNotFound);
    EXPECT_TRUE(messages.Lines.empty());
}

} // namespace

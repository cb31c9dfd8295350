#include "loader/Resource.h"

#include "loader/Loader.h"
#include "tests/loader/MessageRecorder.h"

#include <gtest/gtest.h>

namespace {

constexpr const char* Done = "Done reading hexfile (2 sectors, 2 pages, 6 bytes)!";

// Reads the named block on processor 0 and gives back the messages.
std::vector<std::string> Read(const std::string& name, bool expected) {
    THexLoader loader;
    TMessageRecorder messages;
    loader.SetMessageList(&messages);
    EXPECT_TRUE(loader.SelectProcessor(0));
    EXPECT_EQ(loader.LoadHexResource(name), expected) << name;
    return messages.Lines;
}

std::vector<std::string> Read(const std::string& name, std::string_view text, bool expected) {
    RegisterResource(name, text);
    return Read(name, expected);
}

TEST(LoadHexResource, EveryLineEndingReadsTheSame) {
    const std::vector<std::string> expected{"Reading hexfile....", Done};
    const char* texts[] = {
        ":045000003140003902\r\n:02100000A55AEF\r\n:00000001FF\r\n",
        ":045000003140003902\n:02100000A55AEF\n:00000001FF\n",
        ":045000003140003902\r:02100000A55AEF\r:00000001FF\r",
        ":045000003140003902\r\n:02100000A55AEF\n:00000001FF", // mixed, last line open
    };
    for (const char* text : texts) {
        EXPECT_EQ(Read("TEST_ENDINGS", text, true), expected) << text;
    }
}

TEST(LoadHexResource, EmptyLineIsRefusedWhereItStands) {
    const std::string refused = "error while reading line 2 of hexfile!";
    EXPECT_EQ(Read("TEST_EMPTY", ":045000003140003902\r\n\r\n:00000001FF\r\n", false).back(),
              refused);
    EXPECT_EQ(Read("TEST_EMPTY", ":045000003140003902\n\n:00000001FF\n", false).back(), refused);
    EXPECT_EQ(Read("TEST_EMPTY", ":045000003140003902\r\r:00000001FF\r", false).back(), refused);
    // LF CR is two endings, not one.
    EXPECT_EQ(Read("TEST_EMPTY", ":045000003140003902\n\r:00000001FF", false).back(), refused);
    EXPECT_EQ(Read("TEST_EMPTY", ":00000001FF\r\n\r\n", false).back(), refused);
}

TEST(LoadHexResource, EmptyTextIsAcceptedAsItStands) {
    EXPECT_EQ(Read("TEST_NOTHING", "", true).back(),
              "Done reading hexfile (0 sectors, 0 pages, 0 bytes)!");
}

TEST(LoadHexResource, MissingNameThrowsBeforeAnyMessage) {
    THexLoader loader;
    TMessageRecorder messages;
    loader.SetMessageList(&messages);
    try {
        loader.LoadHexResource("NO_SUCH_BLOCK");
        FAIL() << "no exception";
    } catch (const EResNotFound& e) {
        EXPECT_NE(std::string(e.what()).find("NO_SUCH_BLOCK"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(messages.Lines.empty());
}

TEST(Resource, RegisteredBlockReplacesAndHidesTheBuiltIn) {
    RegisterResource("TEST_REPLACE", "first");
    RegisterResource("TEST_REPLACE", std::string_view("sec\0nd", 6));
    EXPECT_EQ(FindResource("TEST_REPLACE"), std::string_view("sec\0nd", 6));

    const std::string builtIn(FindResource("HEX_FILE"));
    RegisterResource("HEX_FILE", "stand-in");
    EXPECT_EQ(FindResource("HEX_FILE"), "stand-in");
    RegisterResource("HEX_FILE", builtIn);
}

} // namespace

// The installer's string type: the operations its paths and commands are made with.

#include <gtest/gtest.h>

#include "support/support.h"
#include "winsvc/text.h"

namespace orbel::test {
namespace {

TEST(TextTest, ConcatenatesAndKeepsEmbeddedUnits) {
    Text path = Text(L"C:\\windows") + L"\\SysWOW64";
    path += L'\\';
    path += L"CorvoX.dll";
    EXPECT_EQ(Wide(path), L"C:\\windows\\SysWOW64\\CorvoX.dll");
    EXPECT_EQ(path.size(), 30u);
    EXPECT_EQ(path.c_str()[path.size()], L'\0');
    const Text withNul(L"a\0b", 3);
    EXPECT_EQ(withNul.size(), 3u);
    EXPECT_EQ(withNul.find(L'\0'), 1u);
    EXPECT_TRUE(Text().empty());
    EXPECT_EQ(Text().c_str()[0], L'\0');
}

TEST(TextTest, FindsAndCutsLikeStdWstring) {
    const Text path = L"C:\\dir\\sub\\file.dll";
    EXPECT_EQ(path.find_last_of(L"\\:"), 10u);
    EXPECT_EQ(Text(L"file.dll").find_last_of(L"\\:"), Text::npos);
    EXPECT_EQ(Wide(path.substr(11)), L"file.dll");
    EXPECT_EQ(Wide(path.substr(0, 2)), L"C:");
    EXPECT_TRUE(path.substr(99).empty());
    EXPECT_EQ(path.find(L"sub"), 7u);
    EXPECT_EQ(path.find(L"\\", 3), 6u);
    EXPECT_EQ(path.find(L"absent"), Text::npos);
}

TEST(TextTest, ReplacesInPlaceAndGrowsPastItsCapacity) {
    Text command = L"\"tool\" /s \"{S}\"";
    command.replace(command.find(L"{S}"), 3, L"C:\\a path\\with {S} in it.dll");
    EXPECT_EQ(Wide(command), L"\"tool\" /s \"C:\\a path\\with {S} in it.dll\"");
    Text grown;
    for (int i = 0; i < 1000; ++i) {
        grown += L'x';
    }
    EXPECT_EQ(grown.size(), 1000u);
    Text copy = grown;
    copy.pop_back();
    EXPECT_EQ(copy.size(), 999u);
    EXPECT_EQ(grown.size(), 1000u);
    EXPECT_EQ(Wide(Text::Number(0)), L"0");
    EXPECT_EQ(Wide(Text::Number(4294967295u)), L"4294967295");
}

}  // namespace
}  // namespace orbel::test

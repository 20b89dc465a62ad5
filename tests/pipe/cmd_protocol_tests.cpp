// Command message builder: field order, separators, number forms, growth.
#include <gtest/gtest.h>

#include <string>

#include "pipe/cmd_protocol.h"

TEST(CmdProtocolTest, LogWriteExampleJoinsFieldsWithSingleTabs)
{
    CCmdProtocol cmd;
    cmd.Append(L"LOG_WRITE").Append(1000).Append(4u).Append(8ul).Append(68).Append(L"C:\\p\\f.cpp").Append(97).Append(
        L"x");
    EXPECT_EQ(std::wstring(cmd.Data()), L"LOG_WRITE\t1000\t4\t8\t68\tC:\\p\\f.cpp\t97\tx");
    EXPECT_EQ(cmd.Length(), wcslen(cmd.Data()));
}

TEST(CmdProtocolTest, NewMessageIsEmptyWithRoomFor1024Characters)
{
    CCmdProtocol cmd;
    EXPECT_EQ(cmd.Length(), 0u);
    EXPECT_STREQ(cmd.Data(), L"");
    EXPECT_GE(cmd.Capacity(), 1024u);
}

TEST(CmdProtocolTest, NullFirstTextIsAnEmptyFieldThatStillNeedsASeparator)
{
    CCmdProtocol cmd;
    cmd.Append(static_cast<const wchar_t*>(nullptr));
    EXPECT_EQ(cmd.Length(), 0u);
    cmd.Append(L"a").Append(static_cast<const wchar_t*>(nullptr)).Append(L"b");
    EXPECT_EQ(std::wstring(cmd.Data()), L"\ta\t\tb");
}

TEST(CmdProtocolTest, NumbersAreWrittenAsPlainDecimals)
{
    CCmdProtocol cmd;
    cmd.Append(-1).Append(4294967295u).Append(static_cast<int>(-2147483647 - 1)).Append(0).Append(2147483647L);
    EXPECT_EQ(std::wstring(cmd.Data()), L"-1\t4294967295\t-2147483648\t0\t2147483647");
}

TEST(CmdProtocolTest, TextsTravelUnchangedIncludingTabsAndLineBreaks)
{
    CCmdProtocol cmd;
    cmd.Append(L"CMD").Append(L"a\tb\r\nc");
    EXPECT_EQ(std::wstring(cmd.Data()), L"CMD\ta\tb\r\nc");
}

TEST(CmdProtocolTest, LongMessagesGrowAndStayIntact)
{
    CCmdProtocol cmd;
    std::wstring expected;
    for (int i = 0; i < 500; ++i) {
        const std::wstring field = L"field" + std::to_wstring(i);
        cmd.Append(field);
        expected += (i == 0 ? L"" : L"\t") + field;
    }
    EXPECT_GT(cmd.Length(), 1024u);
    EXPECT_EQ(std::wstring(cmd.Data()), expected);
    EXPECT_GE(cmd.Capacity(), 2048u);

    CCmdProtocol big;
    big.Append(std::wstring(5000, L'z'));
    EXPECT_EQ(big.Length(), 5000u);
}

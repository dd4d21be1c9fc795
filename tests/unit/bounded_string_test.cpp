#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "system/bounded_string.h"

namespace {

// "abc...zabc..." of the given length, terminated.
std::wstring Letters(size_t units)
{
    std::wstring text;
    for (size_t i = 0; i < units; ++i)
        text.push_back(static_cast<wchar_t>(L'a' + (i % 26)));
    return text;
}

// A buffer of 260 units, every one of them 'x' (no terminator anywhere).
void FillUnterminated(wchar_t* buffer, size_t units)
{
    for (size_t i = 0; i < units; ++i)
        buffer[i] = L'x';
}

}  // namespace

TEST(BoundedString, CopyCutsAndTerminates)
{
    std::wstring source = Letters(300);
    wchar_t dest[260];
    FillUnterminated(dest, 260);
    EXPECT_EQ(kStringTruncated, BoundedCopy(dest, 260, source.c_str()));
    EXPECT_EQ(0, wcsncmp(dest, source.c_str(), 259));
    EXPECT_EQ(L'\0', dest[259]);

    // 260 units do not fit either: the terminator needs the last one.
    source = Letters(260);
    EXPECT_EQ(kStringTruncated, BoundedCopy(dest, 260, source.c_str()));
    EXPECT_EQ(259u, wcslen(dest));
}

TEST(BoundedString, CopyExactFitIsNotTruncation)
{
    std::wstring source = Letters(259);
    wchar_t dest[260];
    FillUnterminated(dest, 260);
    EXPECT_EQ(kStringOk, BoundedCopy(dest, 260, source.c_str()));
    EXPECT_EQ(source, std::wstring(dest));

    wchar_t one[1] = {L'x'};
    EXPECT_EQ(kStringOk, BoundedCopy(one, 1, L""));
    EXPECT_EQ(L'\0', one[0]);
    one[0] = L'x';
    EXPECT_EQ(kStringTruncated, BoundedCopy(one, 1, L"a"));
    EXPECT_EQ(L'\0', one[0]);
}

TEST(BoundedString, CopyRejectsBadCapacity)
{
    wchar_t dest[4] = {L'x', L'y', L'z', L'\0'};
    EXPECT_EQ(kStringInvalidArg, BoundedCopy(dest, 0, L"a"));
    EXPECT_EQ(kStringInvalidArg, BoundedCopy(dest, static_cast<size_t>(INT_MAX) + 1, L"a"));
    EXPECT_STREQ(L"xyz", dest);  // untouched
}

TEST(BoundedString, AppendJoinsAndCuts)
{
    wchar_t dest[260] = L"C:\\Windows";
    EXPECT_EQ(kStringOk, BoundedAppend(dest, 260, L"\\"));
    EXPECT_STREQ(L"C:\\Windows\\", dest);

    // 11 units used; 248 more fit before the terminator.
    std::wstring tail = Letters(300);
    EXPECT_EQ(kStringTruncated, BoundedAppend(dest, 260, tail.c_str()));
    EXPECT_EQ(259u, wcslen(dest));
    EXPECT_EQ(std::wstring(L"C:\\Windows\\") + tail.substr(0, 248), std::wstring(dest));

    // Full buffer (259 units and the terminator): appending nothing is fine,
    // appending anything is truncation and leaves it as it was.
    EXPECT_EQ(kStringOk, BoundedAppend(dest, 260, L""));
    EXPECT_EQ(kStringTruncated, BoundedAppend(dest, 260, L"z"));
    EXPECT_EQ(259u, wcslen(dest));
}

TEST(BoundedString, AppendExactFit)
{
    wchar_t dest[8] = L"abc";
    EXPECT_EQ(kStringOk, BoundedAppend(dest, 8, L"defg"));
    EXPECT_STREQ(L"abcdefg", dest);

    wchar_t cut[8] = L"abc";
    EXPECT_EQ(kStringTruncated, BoundedAppend(cut, 8, L"defgh"));
    EXPECT_STREQ(L"abcdefg", cut);
}

TEST(BoundedString, AppendWithoutTerminatorAppendsNothing)
{
    wchar_t dest[261];
    FillUnterminated(dest, 260);
    dest[260] = L'\0';  // just beyond the capacity given below
    EXPECT_EQ(kStringInvalidArg, BoundedAppend(dest, 260, L"\\"));
    for (int i = 0; i < 260; ++i)
        ASSERT_EQ(L'x', dest[i]) << "unit " << i;
    EXPECT_EQ(L'\0', dest[260]);

    wchar_t small[4] = L"abc";
    EXPECT_EQ(kStringInvalidArg, BoundedAppend(small, 3, L"d"));
    EXPECT_STREQ(L"abc", small);
    EXPECT_EQ(kStringInvalidArg, BoundedAppend(small, 0, L"d"));
    EXPECT_STREQ(L"abc", small);
}

TEST(BoundedString, FormatTakesWideStringsAndCuts)
{
    wchar_t dest[260];
    EXPECT_EQ(kStringOk, BoundedFormat(dest, 260, L"%s \r\n%s", L"old", L"new"));
    EXPECT_STREQ(L"old \r\nnew", dest);
    EXPECT_EQ(kStringOk, BoundedFormat(dest, 260, L"%d-%s", 42, L"x"));
    EXPECT_STREQ(L"42-x", dest);

    std::wstring tail = Letters(300);
    FillUnterminated(dest, 260);
    EXPECT_EQ(kStringTruncated, BoundedFormat(dest, 260, L"%s", tail.c_str()));
    EXPECT_EQ(tail.substr(0, 259), std::wstring(dest));

    // The capacity the log pane uses for a line it cannot measure: the
    // separator and one unit of the line survive.
    wchar_t joined[8];
    EXPECT_EQ(kStringTruncated, BoundedFormat(joined, 8, L"%s \r\n%s", L"old", L"line"));
    EXPECT_STREQ(L"old \r\nl", joined);
}

TEST(BoundedString, FormatExactFitAndBadCapacity)
{
    std::wstring text = Letters(259);
    wchar_t dest[260];
    FillUnterminated(dest, 260);
    EXPECT_EQ(kStringOk, BoundedFormat(dest, 260, L"%s", text.c_str()));
    EXPECT_EQ(text, std::wstring(dest));

    wchar_t one[1] = {L'x'};
    EXPECT_EQ(kStringOk, BoundedFormat(one, 1, L"%s", L""));
    EXPECT_EQ(L'\0', one[0]);
    one[0] = L'x';
    EXPECT_EQ(kStringTruncated, BoundedFormat(one, 1, L"%s", L"a"));
    EXPECT_EQ(L'\0', one[0]);

    wchar_t kept[4] = L"abc";
    EXPECT_EQ(kStringInvalidArg, BoundedFormat(kept, 0, L"%s", L"z"));
    EXPECT_EQ(kStringInvalidArg, BoundedFormat(kept, static_cast<size_t>(INT_MAX) + 1, L"%s", L"z"));
    EXPECT_STREQ(L"abc", kept);
}

TEST(BoundedString, LengthLooksNoFurtherThanTheBound)
{
    std::wstring text = Letters(1023);
    size_t length = 99;
    EXPECT_EQ(kStringOk, BoundedLength(text.c_str(), 1024, &length));
    EXPECT_EQ(1023u, length);

    // The terminator of a 1024-unit text lies outside a bound of 1024.
    text = Letters(1024);
    length = 99;
    EXPECT_EQ(kStringInvalidArg, BoundedLength(text.c_str(), 1024, &length));
    EXPECT_EQ(0u, length);

    length = 99;
    EXPECT_EQ(kStringOk, BoundedLength(L"", 1, &length));
    EXPECT_EQ(0u, length);

    length = 99;
    EXPECT_EQ(kStringInvalidArg, BoundedLength(nullptr, 260, &length));
    EXPECT_EQ(0u, length);

    length = 99;
    EXPECT_EQ(kStringInvalidArg, BoundedLength(L"abc", 0, &length));
    EXPECT_EQ(0u, length);
}

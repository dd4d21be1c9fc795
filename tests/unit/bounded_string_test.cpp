#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cwchar>
#include <string>
#include <vector>

#include "system/bounded_string.h"

namespace {

// "abc...zabc..." of the given length.
std::wstring Letters(size_t units)
{
    std::wstring text;
    for (size_t i = 0; i < units; ++i)
        text.push_back(static_cast<wchar_t>(L'a' + (i % 26)));
    return text;
}

const size_t kHuge = static_cast<size_t>(INT_MAX) + 1;

}  // namespace

// Each row starts from a buffer of 'x' with a terminator after 260 units and
// in its last: the row's text at the front, or none, so that no terminator
// lies within any capacity a row gives. A write past the capacity shows as
// a longer text.
TEST(BoundedString, CopyAppendAndFormatCutAndTerminate)
{
    const std::wstring full = Letters(259);  // 259 units and the terminator fill 260
    const struct {
        const char* what;
        const wchar_t* start;  // nullptr: no terminator
        size_t capacity;
        HRESULT (*act)(wchar_t* buffer, size_t capacity);
        HRESULT status;
        std::wstring result;  // the buffer's text after
    } rows[] = {
        {"copy: a longer text is cut and terminated", nullptr, 260,
         [](wchar_t* b, size_t c) { return BoundedCopy(b, c, Letters(300).c_str()); }, kStringTruncated,
         full},
        {"copy: 260 units do not fit 260, the terminator needs the last", nullptr, 260,
         [](wchar_t* b, size_t c) { return BoundedCopy(b, c, Letters(260).c_str()); }, kStringTruncated,
         full},
        {"copy: 259 units fit exactly", nullptr, 260,
         [](wchar_t* b, size_t c) { return BoundedCopy(b, c, Letters(259).c_str()); }, kStringOk, full},
        {"copy: an empty text fits one unit", nullptr, 1, [](wchar_t* b, size_t c) { return BoundedCopy(b, c, L""); },
         kStringOk, L""},
        {"copy: one letter does not fit one unit", nullptr, 1,
         [](wchar_t* b, size_t c) { return BoundedCopy(b, c, L"a"); }, kStringTruncated, L""},
        {"copy: no capacity", L"xyz", 0, [](wchar_t* b, size_t c) { return BoundedCopy(b, c, L"a"); },
         kStringInvalidArg, L"xyz"},
        {"copy: a capacity beyond INT_MAX", L"xyz", kHuge,
         [](wchar_t* b, size_t c) { return BoundedCopy(b, c, L"a"); }, kStringInvalidArg, L"xyz"},

        {"append joins", L"C:\\Windows", 260, [](wchar_t* b, size_t c) { return BoundedAppend(b, c, L"\\"); },
         kStringOk, L"C:\\Windows\\"},
        {"append: 11 units used, 248 more fit before the terminator", L"C:\\Windows\\", 260,
         [](wchar_t* b, size_t c) { return BoundedAppend(b, c, Letters(300).c_str()); }, kStringTruncated,
         L"C:\\Windows\\" + Letters(248)},
        {"append: nothing to a full buffer", full.c_str(), 260,
         [](wchar_t* b, size_t c) { return BoundedAppend(b, c, L""); }, kStringOk, full},
        {"append: anything to a full buffer leaves it as it was", full.c_str(), 260,
         [](wchar_t* b, size_t c) { return BoundedAppend(b, c, L"z"); }, kStringTruncated, full},
        {"append: an exact fit", L"abc", 8, [](wchar_t* b, size_t c) { return BoundedAppend(b, c, L"defg"); },
         kStringOk, L"abcdefg"},
        {"append: one unit too many", L"abc", 8,
         [](wchar_t* b, size_t c) { return BoundedAppend(b, c, L"defgh"); }, kStringTruncated, L"abcdefg"},
        {"append: no terminator within the capacity, the unit beyond untouched", nullptr, 260,
         [](wchar_t* b, size_t c) { return BoundedAppend(b, c, L"\\"); }, kStringInvalidArg,
         std::wstring(260, L'x')},
        {"append: the terminator just beyond the capacity", L"abc", 3,
         [](wchar_t* b, size_t c) { return BoundedAppend(b, c, L"d"); }, kStringInvalidArg, L"abc"},
        {"append: no capacity", L"abc", 0, [](wchar_t* b, size_t c) { return BoundedAppend(b, c, L"d"); },
         kStringInvalidArg, L"abc"},

        {"format takes wide strings", nullptr, 260,
         [](wchar_t* b, size_t c) { return BoundedFormat(b, c, L"%s \r\n%s", L"old", L"new"); }, kStringOk,
         L"old \r\nnew"},
        {"format takes numbers", nullptr, 260,
         [](wchar_t* b, size_t c) { return BoundedFormat(b, c, L"%d-%s", 42, L"x"); }, kStringOk, L"42-x"},
        {"format: a longer text is cut and terminated", nullptr, 260,
         [](wchar_t* b, size_t c) { return BoundedFormat(b, c, L"%s", Letters(300).c_str()); },
         kStringTruncated, full},
        // The capacity the log pane uses for a line it cannot measure.
        {"format: the separator and one unit of the line survive 8 units", nullptr, 8,
         [](wchar_t* b, size_t c) { return BoundedFormat(b, c, L"%s \r\n%s", L"old", L"line"); },
         kStringTruncated, L"old \r\nl"},
        {"format: 259 units fit exactly", nullptr, 260,
         [](wchar_t* b, size_t c) { return BoundedFormat(b, c, L"%s", Letters(259).c_str()); }, kStringOk,
         full},
        {"format: an empty text fits one unit", nullptr, 1,
         [](wchar_t* b, size_t c) { return BoundedFormat(b, c, L"%s", L""); }, kStringOk, L""},
        {"format: one letter does not fit one unit", nullptr, 1,
         [](wchar_t* b, size_t c) { return BoundedFormat(b, c, L"%s", L"a"); }, kStringTruncated, L""},
        {"format: no capacity", L"abc", 0, [](wchar_t* b, size_t c) { return BoundedFormat(b, c, L"%s", L"z"); },
         kStringInvalidArg, L"abc"},
        {"format: a capacity beyond INT_MAX", L"abc", kHuge,
         [](wchar_t* b, size_t c) { return BoundedFormat(b, c, L"%s", L"z"); }, kStringInvalidArg, L"abc"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<wchar_t> buffer(300, L'x');
        buffer[260] = L'\0';
        buffer[299] = L'\0';
        if (row.start != nullptr)
            std::copy(row.start, row.start + wcslen(row.start) + 1, buffer.begin());
        EXPECT_EQ(row.status, row.act(buffer.data(), row.capacity));
        EXPECT_EQ(row.result, std::wstring(buffer.data()));
    }
}

TEST(BoundedString, LengthLooksNoFurtherThanTheBound)
{
    const std::wstring fits = Letters(1023);
    const std::wstring over = Letters(1024);
    const struct {
        const char* what;
        const wchar_t* text;
        size_t bound;
        HRESULT status;
        size_t length;
    } rows[] = {
        {"the terminator in the last unit of the bound", fits.c_str(), 1024, kStringOk, 1023},
        {"the terminator beyond the bound", over.c_str(), 1024, kStringInvalidArg, 0},
        {"an empty text", L"", 1, kStringOk, 0},
        {"no text", nullptr, 260, kStringInvalidArg, 0},
        {"no bound", L"abc", 0, kStringInvalidArg, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        size_t length = 99;
        EXPECT_EQ(row.status, BoundedLength(row.text, row.bound, &length));
        EXPECT_EQ(row.length, length);
    }
}

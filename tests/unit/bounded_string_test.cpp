#include <gtest/gtest.h>

#include "system/bounded_string.h"

TEST(BoundedString, CopyCutsAndTerminates)
{
    wchar_t source[301];
    for (int i = 0; i < 300; ++i)
        source[i] = L'a' + (i % 26);
    source[300] = L'\0';
    wchar_t dest[260];
    EXPECT_EQ(kStringTruncated, BoundedCopy(dest, 260, source));
    EXPECT_EQ(0, wcsncmp(dest, source, 259));
    EXPECT_EQ(L'\0', dest[259]);
}

// Puts real entries into this user's Internet Explorer cache: a page, an
// entry larger than 4 KiB, and a persistent cookie.
//   seed_cache.exe [count]
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

bool AddEntry(const std::wstring& url, const std::string& body, const std::wstring& headers)
{
    wchar_t file[MAX_PATH];
    if (!CreateUrlCacheEntryW(url.c_str(), 0, L"htm", file, 0))
        return false;
    HANDLE out = CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    WriteFile(out, body.data(), static_cast<DWORD>(body.size()), &written, nullptr);
    CloseHandle(out);
    FILETIME never = {0, 0};
    std::wstring header = headers;
    return CommitUrlCacheEntryW(url.c_str(), file, never, never, NORMAL_CACHE_ENTRY,
                                header.empty() ? nullptr : &header[0],
                                static_cast<DWORD>(header.size()), nullptr, nullptr) != FALSE;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    int count = argc > 1 ? _wtoi(argv[1]) : 3;
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        wchar_t url[128];
        swprintf(url, 128, L"http://portal.example.test/page%d.html", i);
        if (!AddEntry(url, "<html>cached page</html>", L""))
            ++failures;
    }
    std::wstring bigHeaders = L"HTTP/1.1 200 OK\r\nX-Padding: " + std::wstring(6000, L'x') + L"\r\n\r\n";
    if (!AddEntry(L"http://portal.example.test/large.html", "<html>large</html>", bigHeaders))
        ++failures;
    if (!InternetSetCookieW(L"http://portal.example.test/", L"session",
                            L"token=1; expires=Fri, 01 Jan 2038 00:00:00 GMT"))
        ++failures;
    printf("seeded %d cache entries and a cookie, %d failures\n", count + 1, failures);
    return failures == 0 ? 0 : 1;
}

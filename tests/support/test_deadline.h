// The tests' one time setting: the guard's deadline of one test
// (HS_TEST_SECONDS, in the tests' environment), from which every bound on a
// wait derives. Header only: the probes of tests/pc link nothing else.
#pragma once

#include <windows.h>

#include <cwchar>

inline DWORD TestDeadlineMs()
{
    wchar_t value[32] = L"";
    GetEnvironmentVariableW(L"HS_TEST_SECONDS", value, 32);
    long seconds = wcstol(value, nullptr, 10);
    return static_cast<DWORD>(seconds > 0 ? seconds : 1500) * 1000;  // 1500: the deadline's default
}

// The longest a test waits for one event: a tenth of the deadline, so that
// a wait that fails ends in a report before the guard stops the test, and a
// slow machine never makes one fail.
inline DWORD EventWaitMs()
{
    return TestDeadlineMs() / 10;
}

// Asks done again, a short pause between, until it answers true or boundMs
// (the event bound) has passed; its last answer. For an event no handle
// signals (a window's end, what a Unix process did, as Wine shows it).
template <typename Done>
bool WaitUntil(Done done, DWORD boundMs = EventWaitMs())
{
    for (DWORD waited = 0; waited < boundMs; waited += 25) {
        if (done())
            return true;
        Sleep(25);
    }
    return done();
}

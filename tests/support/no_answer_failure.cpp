// In the test suites, a program that does not answer fails the running test.
#include <gtest/gtest.h>

#include "support/window_driver.h"

namespace {

void FailTheTest(const char* what)
{
    ADD_FAILURE() << "the program did not answer: " << what;
}

struct InstallHandler {
    InstallHandler() { SetNoAnswerHandler(FailTheTest); }
} gInstallHandler;

}  // namespace

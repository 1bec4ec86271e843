// The main sequence with the test build's block, whose entry stream holds no
// entries: nothing is unpacked, and with no program to start the launcher
// reports the launch failure instead of asking the system to start "".
#include "launcher/main_sequence.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

TEST(MainSequenceDeathTest, PayloadWithoutEntriesReportsTheLaunchFailure) {
    wchar_t argv0[] = L"Tool";
    wchar_t* argv[] = {argv0, nullptr};
    EXPECT_EXIT(run_launcher(1, argv), ::testing::ExitedWithCode(2),
                "^Error, couldn't launch child \\(\\[Error 2\\] .+\\)\r?\n$");
}

}  // namespace

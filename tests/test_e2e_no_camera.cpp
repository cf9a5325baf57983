#include "ChildProcess.h"
#include "Fakes.h"

#include <gtest/gtest.h>

#include <unistd.h>

// The shipped binary on a machine without a camera at index 1.
TEST(NoCamera, PrintsTheStartupTranscriptAndExitsCleanly) {
    if (access("/dev/video1", F_OK) == 0) GTEST_SKIP() << "this machine has a camera at index 1";
    for (const std::optional<std::string>& input :
         {std::optional<std::string>("x"), std::optional<std::string>()}) {
        TempWorkingDir dir;
        // With no display at all, any attempt to open a window would abort the process.
        ChildProcess tool({{TRAILCAM_BINARY}, dir.path(), input, {{"DISPLAY", std::nullopt}}});
        ASSERT_TRUE(tool.wait(20));
        EXPECT_EQ(tool.exitStatus(), 0);
        EXPECT_EQ(tool.out(), "setup\ncannot open cameracaptured\nempty\nclosing app\n");
        EXPECT_TRUE(listDirectory(dir.path()).empty()) << "no file written";
        EXPECT_EQ(tool.err().find("no display"), std::string::npos) << "no window was attempted";
    }
}

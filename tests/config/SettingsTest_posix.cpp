// Saving the settings file when the disk fills up (a file size limit stands in for it).
#include "config/Settings.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "platform/ProgramFolder.h"
#include "support/TempDir.h"

namespace kz {
namespace {

using test::TempDir;

TEST(Settings, SetterOnAFullDiskReportsIt) {
    TempDir dir;
    const std::string original = "[CONFIG]\r\nCOM=1\r\n";
    const std::string path = dir.Write("KZMNT.INI", original);
    CSettings s(path);
    // A file size limit makes the write fail as a full disk does.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 20;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = s.SetWorkPath("/a/long/working/folder");
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_FALSE(written);
    EXPECT_EQ(s.SaveError(), CSettings::kSaveFailed);
    EXPECT_EQ(dir.Read("KZMNT.INI"), original);
}

}  // namespace
}  // namespace kz

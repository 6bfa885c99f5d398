// Saving the settings file: a full disk (a file size limit stands in for it), and the file's
// POSIX permissions.
#include "config/IniFile.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "support/TempDir.h"

namespace kz {
namespace {

using test::TempDir;

TEST(IniFile, SaveOnAFullDiskLeavesTheFileAsItWas) {
    TempDir dir;
    const std::string original = "[A]\r\nk=1\r\n";
    const std::string path = dir.Write("a.ini", original);
    CIniFile ini;
    ASSERT_TRUE(ini.Load(path));
    ini.FindSection("A")->FindKey("k")->SetValue(std::string(4096, 'v'));
    // A file size limit makes the write fail as a full disk does.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool saved_ok = ini.Save();
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_FALSE(saved_ok);
    EXPECT_EQ(dir.Read("a.ini"), original);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(IniFile, SaveKeepsThePermissionsOfTheFile) {
    namespace fs = std::filesystem;
    TempDir dir;
    const std::string path = dir.Write("a.ini", "[A]\r\n");
    const fs::perms perms = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(path, perms);
    CIniFile ini;
    ASSERT_TRUE(ini.Load(path));
    ASSERT_TRUE(ini.Save());
    EXPECT_EQ(fs::status(path).permissions(), perms);
}

}  // namespace
}  // namespace kz

// The single-instance lock without a runtime folder: it lives in a private folder of the
// user, which nothing planted in the shared temporary folder can take away, and a lock that
// cannot be taken is told apart from one another copy holds.
#include "platform/InstanceLock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "support/TempDir.h"

namespace kz::platform {
namespace {

namespace fs = std::filesystem;
using State = InstanceLock::State;
const std::string kName = "KZ Maintenance Tool";

// A system without $XDG_RUNTIME_DIR whose temporary folder is tmp; the test program's own
// temporary folder comes back afterwards.
class InstanceLockTest : public ::testing::Test {
  protected:
    InstanceLockTest() {
        ::unsetenv("XDG_RUNTIME_DIR");
        ::setenv("TMPDIR", tmp.str().c_str(), 1);
    }
    ~InstanceLockTest() override {
        saved_.empty() ? ::unsetenv("TMPDIR") : ::setenv("TMPDIR", saved_.c_str(), 1);
    }
    fs::path Private() const { return tmp.path() / ("kzmnt-" + std::to_string(::getuid())); }

  private:
    const char* const env_ = std::getenv("TMPDIR");
    const std::string saved_ = env_ ? env_ : "";

  protected:
    test::TempDir tmp;  // made after the variable was saved
};

TEST_F(InstanceLockTest, ASecondCopyFindsTheLockHeldInThePrivateFolder) {
    // What squats the lock's former place in the shared folder no longer matters.
    fs::create_symlink("/nonexistent",
                       tmp.path() / ("uid" + std::to_string(::getuid()) + "-" + kName + ".lock"));
    InstanceLock first(kName);
    ASSERT_EQ(first.GetState(), State::Held);
    EXPECT_EQ(first.Path(), Private().string() + "/" + kName + ".lock");
    EXPECT_EQ(fs::symlink_status(Private()).permissions(), fs::perms::owner_all);
    EXPECT_EQ(InstanceLock(kName).GetState(), State::OtherCopy);
    // A runtime folder others can write to is passed over for the private folder.
    test::TempDir shared;
    fs::permissions(shared.path(), fs::perms::all);
    ::setenv("XDG_RUNTIME_DIR", shared.str().c_str(), 1);
    EXPECT_EQ(InstanceLock(kName).GetState(), State::OtherCopy);
}

struct Squat {
    const char* name;
    std::function<void(const fs::path& folder)> plant;  // tmp/elsewhere exists, mode 0700
    State state;
    int error = 0;
};

class SquatTest : public InstanceLockTest, public ::testing::WithParamInterface<Squat> {};

// Something planted where the lock goes keeps the program from starting, but it is told
// apart from a second copy and never followed.
TEST_P(SquatTest, IsReportedAndNeverFollowed) {
    fs::create_directory(tmp.path() / "elsewhere");
    fs::permissions(tmp.path() / "elsewhere", fs::perms::owner_all);
    if (GetParam().plant) {
        fs::create_directory(Private());
        fs::permissions(Private(), fs::perms::owner_all);
        GetParam().plant(Private());
    } else {
        fs::create_directory_symlink("elsewhere", Private());
    }
    const InstanceLock lock(kName);
    EXPECT_EQ(lock.GetState(), GetParam().state);
    EXPECT_EQ(lock.Error(), GetParam().error);
    EXPECT_TRUE(fs::is_empty(tmp.path() / "elsewhere"));
}

INSTANTIATE_TEST_SUITE_P(
    Planted, SquatTest,
    ::testing::Values(
        Squat{"FolderIsALink", nullptr, State::FolderNotPrivate},
        Squat{"FolderOthersCanWrite",
              [](const fs::path& folder) { fs::permissions(folder, fs::perms::all); },
              State::FolderNotPrivate},
        // Root gives the folder away; anyone else finds it theirs still and takes the lock.
        Squat{"FolderOfAnotherUser",
              [](const fs::path& folder) { (void)::chown(folder.c_str(), 4242, 4242); },
              ::geteuid() == 0 ? State::FolderNotPrivate : State::Held},
        Squat{"LockFileIsALink",
              [](const fs::path& folder) {
                  fs::create_symlink("../elsewhere/" + kName + ".lock", folder / (kName + ".lock"));
              },
              State::Unusable, ELOOP},
        Squat{"LockFileIsAFolder",
              [](const fs::path& folder) { fs::create_directory(folder / (kName + ".lock")); },
              State::Unusable, EISDIR}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kz::platform

// The single-instance lock as a named mutex of the session.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/InstanceLock.h"

namespace kz::platform {
namespace {

std::string UniqueName(const char* what) {
    return std::string("kztest-") + what + "-" + std::to_string(::GetCurrentProcessId());
}

TEST(InstanceLockWin32, ASecondCopyFindsTheFirstAndTheNameIsFreeAfterIt) {
    const std::string name = UniqueName("copies");
    {
        InstanceLock first(name);
        ASSERT_EQ(first.GetState(), InstanceLock::State::Held);
        EXPECT_EQ(first.Path(), name);
        EXPECT_TRUE(first.Folder().empty());
        InstanceLock second(name);
        EXPECT_EQ(second.GetState(), InstanceLock::State::OtherCopy);
        EXPECT_FALSE(second.Held());
    }
    // A copy that ended (or crashed: the system closes its handles) blocks nobody.
    InstanceLock again(name);
    EXPECT_EQ(again.GetState(), InstanceLock::State::Held);
}

// Another kind of object under the name, put there to block the program: reported, never
// taken for a running copy.
TEST(InstanceLockWin32, AnObjectOfAnotherKindUnderTheNameIsUnusable) {
    const std::string name = UniqueName("squat");
    const HANDLE squat = ::CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(squat, nullptr);
    InstanceLock lock(name);
    EXPECT_EQ(lock.GetState(), InstanceLock::State::Unusable);
    EXPECT_NE(lock.Error(), 0);
    ::CloseHandle(squat);
}

}  // namespace
}  // namespace kz::platform

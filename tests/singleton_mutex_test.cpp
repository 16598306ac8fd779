#include "utils/singleton_mutex.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "child_main.h"
#include "utils/scoped_handle.h"
#include "utils/text.h"
#include "win_process.h"

namespace {

using utils::ScopedKernelHandle;

// Upper bound against hangs only; every wait below normally ends long before.
constexpr DWORD kPatienceMs = 60000;

std::string event_name(const std::string& base, const char* what) { return base + "-" + what; }

// Children: arguments are the lock's base name, then a mode.

// Owns the lock in create mode, reports that, waits for the word to let go, announces
// the release and then lets go: by destroying the lock ("release"), or by ending the
// process while it still owns the mutex ("abandon").
TEST_CHILD(hold_lock) {
    const std::string& base = arguments.at(0);
    ScopedKernelHandle owned(
        OpenEventA(EVENT_MODIFY_STATE, FALSE, event_name(base, "owned").c_str()));
    ScopedKernelHandle release(OpenEventA(SYNCHRONIZE, FALSE, event_name(base, "release").c_str()));
    ScopedKernelHandle releasing(
        OpenEventA(EVENT_MODIFY_STATE, FALSE, event_name(base, "releasing").c_str()));
    if (!owned.valid() || !release.valid() || !releasing.valid()) return 90;
    SingletonMutex lock(base, true);
    if (!lock.acquire()) return 91;
    SetEvent(owned.get());
    if (WaitForSingleObject(release.get(), kPatienceMs) != WAIT_OBJECT_0) return 92;
    SetEvent(releasing.get());
    if (arguments.at(1) == "abandon") ExitProcess(93);
    return 0;
}

// Acquires the lock once; exit code 1 when it was acquired, 0 when not.
TEST_CHILD(try_lock) {
    SingletonMutex lock(arguments.at(0), arguments.at(1) == "create");
    return lock.acquire() ? 1 : 0;
}

// Looks at the mutex without waiting: 1 when another thread owns it, 0 when it was free
// (taken and given back at once), 2 when it was abandoned, 3 when there is none.
TEST_CHILD(probe_lock) {
    ScopedKernelHandle mutex(OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE,
                                        ("Global\\" + arguments.at(0)).c_str()));
    if (!mutex.valid()) return 3;
    const DWORD wait = WaitForSingleObject(mutex.get(), 0);
    if (wait == WAIT_TIMEOUT) return 1;
    ReleaseMutex(mutex.get());
    return wait == WAIT_OBJECT_0 ? 0 : 2;
}

DWORD probe_in_child(const std::string& base) {
    return test::run_child("probe_lock", L" " + widen(base));
}

// A lock name of its own for every test and run.
std::string unique_base() {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string("UpdaterLockTest-") + test->name() + "-" +
           std::to_string(GetCurrentProcessId());
}

bool mutex_exists(const std::string& base) {
    ScopedKernelHandle mutex(OpenMutexA(SYNCHRONIZE, FALSE, ("Global\\" + base).c_str()));
    return mutex.valid();
}

DWORD try_lock_in_child(const std::string& base, const char* mode) {
    return test::run_child("try_lock", L" " + widen(base) + L" " + widen(mode));
}

// A hold_lock child and the events that pace it.
class Holder {
public:
    Holder(const std::string& base, const char* mode)
        : owned_(CreateEventA(nullptr, TRUE, FALSE, event_name(base, "owned").c_str())),
          release_(CreateEventA(nullptr, TRUE, FALSE, event_name(base, "release").c_str())),
          releasing_(CreateEventA(nullptr, TRUE, FALSE, event_name(base, "releasing").c_str())) {
        process_ = test::start_process(test::quoted(test::own_path()) + L" --child=hold_lock " +
                                       widen(base) + L" " + widen(mode));
    }
    ~Holder() {
        release();
        if (process_.valid() && WaitForSingleObject(process_.get(), kPatienceMs) != WAIT_OBJECT_0)
            TerminateProcess(process_.get(), 1);
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    // True once the child owns the lock.
    bool wait_owned() {
        const HANDLE events[] = {owned_.get(), process_.get()};
        return process_.valid() &&
               WaitForMultipleObjects(2, events, FALSE, kPatienceMs) == WAIT_OBJECT_0;
    }
    void release() { SetEvent(release_.get()); }
    bool releasing_announced() { return WaitForSingleObject(releasing_.get(), 0) == WAIT_OBJECT_0; }
    DWORD wait_exit() {
        DWORD code = 0xbeef;
        if (WaitForSingleObject(process_.get(), kPatienceMs) == WAIT_OBJECT_0)
            GetExitCodeProcess(process_.get(), &code);
        return code;
    }

private:
    ScopedKernelHandle owned_, release_, releasing_, process_;
};

TEST(SingletonMutex, SecondCreatorRefusedWhileHeld) {
    const std::string base = unique_base();
    Holder holder(base, "release");
    ASSERT_TRUE(holder.wait_owned());
    EXPECT_TRUE(mutex_exists(base));  // under the "Global\" name

    SingletonMutex second(base, true);
    EXPECT_FALSE(second.acquire());
    EXPECT_EQ(try_lock_in_child(base, "create"), 0u);

    // The refused lock gave its handle back at once: once the holder has let go, the
    // mutex is gone although `second` still lives, and a new creator gets it.
    holder.release();
    EXPECT_EQ(holder.wait_exit(), 0u);
    EXPECT_FALSE(mutex_exists(base));
    EXPECT_EQ(try_lock_in_child(base, "create"), 1u);
}

TEST(SingletonMutex, OpenModeWaitsUntilReleasedThenOwns) {
    const std::string base = unique_base();
    Holder holder(base, "release");
    ASSERT_TRUE(holder.wait_owned());
    // Keeps the mutex in existence whatever the order in which the two sides run.
    ScopedKernelHandle keep(OpenMutexA(SYNCHRONIZE, FALSE, ("Global\\" + base).c_str()));
    ASSERT_TRUE(keep.valid());
    {
        SingletonMutex lock(base, false);
        std::thread releaser([&holder] { holder.release(); });
        const bool owned = lock.acquire();
        releaser.join();
        EXPECT_TRUE(owned);
        // The child announces its release before it makes it, so owning means waiting.
        EXPECT_TRUE(holder.releasing_announced());
        EXPECT_EQ(holder.wait_exit(), 0u);
        EXPECT_EQ(probe_in_child(base), 1u);
    }
    // Destruction released it rather than leaving it to be abandoned.
    EXPECT_EQ(try_lock_in_child(base, "open"), 1u);
}

TEST(SingletonMutex, AbandonedMutexIsHandedOverAsFailure) {
    const std::string base = unique_base();
    Holder holder(base, "abandon");
    ASSERT_TRUE(holder.wait_owned());
    ScopedKernelHandle keep(OpenMutexA(SYNCHRONIZE, FALSE, ("Global\\" + base).c_str()));
    ASSERT_TRUE(keep.valid());
    holder.release();
    ASSERT_EQ(holder.wait_exit(), 93u);
    {
        SingletonMutex lock(base, false);
        EXPECT_FALSE(lock.acquire());
        // The handle stays held: the mutex outlives the test's own handle.
        keep.reset();
        EXPECT_TRUE(mutex_exists(base));
        // The abandoned mutex was handed over: this thread owns it now.
        EXPECT_EQ(probe_in_child(base), 1u);
    }
    EXPECT_FALSE(mutex_exists(base));
}

// The install phase whose first run has let go already holds the lock all the same.
TEST(SingletonMutex, JoinModeWithoutMutexCreatesAndOwnsIt) {
    const std::string base = unique_base();
    {
        SingletonMutex lock(base, false);
        EXPECT_TRUE(lock.acquire());
        EXPECT_EQ(probe_in_child(base), 1u);
        EXPECT_EQ(try_lock_in_child(base, "create"), 0u);
    }
    EXPECT_FALSE(mutex_exists(base));
    EXPECT_EQ(try_lock_in_child(base, "open"), 1u);
}

TEST(SingletonMutex, CreatorOwnsUntilDestroyed) {
    const std::string base = unique_base();
    {
        SingletonMutex lock(base, true);
        EXPECT_EQ(lock.name(), "Global\\" + base);
        EXPECT_TRUE(lock.acquire());
        EXPECT_EQ(probe_in_child(base), 1u);
        EXPECT_EQ(try_lock_in_child(base, "create"), 0u);
    }
    EXPECT_FALSE(mutex_exists(base));
}

// A lock without a handle makes no system call when destroyed: ReleaseMutex and
// CloseHandle would both overwrite the thread's last error.
TEST(SingletonMutex, DestroyingWithoutHandleMakesNoCall) {
    const std::string base = unique_base();
    SetLastError(0x2345);
    { SingletonMutex never_acquired(base, true); }
    EXPECT_EQ(GetLastError(), 0x2345u);

    SingletonMutex first(base, true);
    ASSERT_TRUE(first.acquire());
    {
        SingletonMutex refused(base, true);
        ASSERT_FALSE(refused.acquire());
        SetLastError(0x2346);
    }
    EXPECT_EQ(GetLastError(), 0x2346u);
}

}  // namespace

// GoogleTest's own customisation hook, used only for the MinGW builds: the -win32 runtime has
// no std::mutex, which GoogleTest's Notification needs. Only GoogleTest's own tests use it.
#pragma once

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
public:
    Notification() : notified_(false) {}
    Notification(const Notification &) = delete;
    Notification &operator=(const Notification &) = delete;
    void Notify() { __atomic_store_n(&notified_, true, __ATOMIC_SEQ_CST); }
    void WaitForNotification()
    {
        while (!__atomic_load_n(&notified_, __ATOMIC_SEQ_CST)) {
        }
    }

private:
    bool notified_;
};

}  // namespace internal
}  // namespace testing

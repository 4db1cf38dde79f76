// What a forked child inherits from its parent but must neither use nor
// release: the parent's keep-alive thread, which does not exist here, and
// connections whose sockets (and TLS sessions) are the parent's as well.
#pragma once

#include <memory>

#include <sys/types.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace zelm::detail {

// The process that made an object: in a forked child, which inherits the
// object, forked() is true and the object must leave the parent's things
// (its threads, its lease, its keys) alone.
class Origin {
public:
    bool forked() const noexcept { return ::getpid() != process_; }

private:
    pid_t process_ = ::getpid();
};

// Lets go of `inherited` without destroying it. The memory stays with the
// child until it ends, on purpose, so the leak checker is told so.
template <typename T>
void abandon(std::unique_ptr<T> inherited) noexcept {
    [[maybe_unused]] T* const kept = inherited.release();
#if defined(__SANITIZE_ADDRESS__)
    if (kept != nullptr) {
        __lsan_ignore_object(kept);
    }
#endif
}

}  // namespace zelm::detail

// Plug-ins that break the entry-point contract, one per build of this file
// (BROKEN_KIND): no create_manager at all, one that throws a standard
// exception, one that throws an int, one that returns no manager. Each logs
// "create" and "unload" to the file named by $ZELM_TEST_EVENTS, so tests can
// count calls and see that the library was closed.
#include <zelm/device_manager.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#define BROKEN_NO_ENTRY 1
#define BROKEN_THROWS 2
#define BROKEN_THROWS_INT 3
#define BROKEN_RETURNS_NULL 4

namespace {

void log_event(char const* event) {
    char const* path = std::getenv("ZELM_TEST_EVENTS");
    if (path == nullptr || *path == '\0') {
        return;
    }
    std::string const line = std::string(event) + " " + std::to_string(getpid()) + "\n";
    int const fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) {
        [[maybe_unused]] auto const written = write(fd, line.data(), line.size());
        close(fd);
    }
}

__attribute__((destructor)) void report_unload() { log_event("unload"); }

}  // namespace

#if BROKEN_KIND == BROKEN_NO_ENTRY
// Something exported, so the library is an ordinary plug-in in all but the
// entry point.
extern "C" ZELM_API int not_create_manager() { return 0; }
#else
ZELM_PLUGIN_ENTRY zelm::DeviceManager* create_manager() {
    log_event("create");
#if BROKEN_KIND == BROKEN_THROWS
    throw std::runtime_error("boom");
#elif BROKEN_KIND == BROKEN_THROWS_INT
    throw 42;
#elif BROKEN_KIND == BROKEN_RETURNS_NULL
    return nullptr;
#else
#error "unknown BROKEN_KIND"
#endif
}
#endif

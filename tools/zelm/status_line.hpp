// A transient progress line at the bottom of standard error, shown only when
// standard error is a terminal, and the tool's logger, which prints its lines
// above that progress line instead of through it.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

namespace zelm::tool {

class StatusLine {
public:
    // The one status line of the process: there is one standard error.
    static StatusLine& instance();

    // True when standard error is a terminal; show() does nothing otherwise.
    bool enabled() const { return enabled_; }
    // Replaces the status line's text.
    void show(std::string_view text);
    // Removes the status line, if one is shown.
    void clear();
    // Writes `line` (with its newline) to standard error, keeping a shown
    // status line below it.
    void print(std::string_view line);

private:
    StatusLine();
    // Writes with the line erased first when one is shown; `mutex_` held.
    void write_over(std::string_view text);

    bool const enabled_;
    std::mutex mutex_;  // log lines come from any thread
    std::string shown_;
};

// Makes the default logger (which the library logs through) write to
// standard error, above any status line: "zelm: <level>: <message>", the
// message escaped as tables are (escape.hpp).
void install_stderr_logger();

// While one lives, the logger that install_stderr_logger installs drops what
// the constructing thread logs: around a library call whose failure the tool
// reports itself, in its own words, so that it is told once.
class LibraryLogMuted {
public:
    LibraryLogMuted();
    ~LibraryLogMuted();
    LibraryLogMuted(LibraryLogMuted const&) = delete;
    LibraryLogMuted& operator=(LibraryLogMuted const&) = delete;

private:
    bool const was_muted_;
};

}  // namespace zelm::tool

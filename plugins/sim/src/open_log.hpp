// The open log: an append-only file that gets one line per open_device, from
// every process that loads the plug-in, so that tests and benchmarks can count
// device queries on the whole machine from outside.
#pragma once

#include <filesystem>
#include <string_view>

namespace zelm::sim {

class OpenLog {
public:
    // Opens (creating it when missing) the file for appending.
    // Throws std::runtime_error naming the file and the reason.
    explicit OpenLog(std::filesystem::path file);
    ~OpenLog();
    OpenLog(OpenLog&& other) noexcept;
    OpenLog& operator=(OpenLog&& other) noexcept;
    OpenLog(OpenLog const&) = delete;
    OpenLog& operator=(OpenLog const&) = delete;

    // Appends "<pid> <description>\n" in one write, which O_APPEND keeps whole
    // when several processes record at once. Throws std::runtime_error when
    // the line cannot be written.
    void record(std::string_view description) const;

    std::filesystem::path const& file() const { return file_; }

private:
    std::filesystem::path file_;
    int fd_ = -1;
};

}  // namespace zelm::sim

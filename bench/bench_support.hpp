// Shared pieces of the benchmark programs: a scratch directory, simulated
// device configurations and plug-in copies, the figure lines that bench/run
// collects, and the system-call floors that the library is measured against.
#pragma once

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zelm::bench {

// A fresh directory under /tmp, removed with its content on destruction.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(ScratchDir const&) = delete;
    ScratchDir& operator=(ScratchDir const&) = delete;

    std::filesystem::path const& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A simulated-family configuration of `count` devices named "<prefix>-00001"
// onwards, each answering get_info after `get_info_ms` milliseconds.
nlohmann::json sim_config(std::string const& prefix, int count, int get_info_ms = 0,
                          std::optional<std::filesystem::path> const& open_log = std::nullopt);

// Writes `config` to `file` (creating its directory) and returns `file`.
std::filesystem::path write_config(std::filesystem::path const& file, nlohmann::json const& config);

// Copies the simulated family's plug-in to `dir / file_name`: every copy is a
// plug-in of its own, whose devices have identities of their own.
std::filesystem::path copy_sim_plugin(std::filesystem::path const& dir, std::string const& file_name);

// Points TMPDIR at `dir` (created when missing).
void set_tmpdir(std::filesystem::path const& dir);

// One figure line, "<name>: <value> (target <comparison>) ok|MISS", which
// bench/run gathers into its final table.
void print_figure(std::string const& name, double value, std::string const& target, bool ok, int decimals = 2);
void print_missing_figure(std::string const& name, std::string const& target, std::string const& reason);

// Runs `figure` in `scratch`; a failure costs that figure only (a missing
// figure line), and whatever it started is stopped before the next one runs.
void run_figure(std::string const& name, std::string const& target,
                std::function<void(std::filesystem::path const&)> const& figure, std::filesystem::path const& scratch);

// The middle of `values` (the mean of the two middle ones for an even count).
double median(std::vector<double> values);

// How many times each side of a measured pair runs in a row, whose best
// counts: ZELM_BENCH_RUNS_PER_SIDE, 3 when unset.
int runs_per_side();

// The lock directory's name under the temporary directory.
inline constexpr char const* lock_directory_name = "rezored_izede";

// The system calls that scanning one device requires at the least, issued
// by a plain loop over precomputed lock-file names:
// - the temporary-directory query: the environment, then one stat;
// - the check of the lock directory: one lstat of its path, compared (device
//   and inode, not a link) with a descriptor opened once with
//   O_DIRECTORY | O_NOFOLLOW, the cheapest sound form of the hardened opening;
// - the occupancy probe of "<identity>.occupied": openat relative to that
//   descriptor with O_NOFOLLOW | O_NONBLOCK, one fstat (a regular file with a
//   single link), the non-blocking exclusive flock, the re-check of the name
//   after locking (fstatat without following links), the unlock, the close.
// With a record name, also the file level on "<identity>.lock": opened and
// checked the same way, the blocking flock, the re-check of the name, one
// fstat for the record's size and age, one pread, one parse, unlock, close;
// the parsed record is freed at once, or kept when asked.
class SystemCallFloor {
public:
    // Opens the lock directory under $TMPDIR once; throws when it cannot.
    SystemCallFloor();
    ~SystemCallFloor();
    SystemCallFloor(SystemCallFloor const&) = delete;
    SystemCallFloor& operator=(SystemCallFloor const&) = delete;

    // Return false when a call failed (the benchmark then reports an error).
    bool probe(std::string const& occupied_name) const;
    // With `kept`, each parsed record is appended there instead of being
    // freed at once, as an in-process cache keeps what it read.
    bool probe_and_read(std::string const& occupied_name, std::string const& record_name,
                        std::vector<nlohmann::json>* kept = nullptr) const;

private:
    bool scan(std::string const& occupied_name, std::string const* record_name,
              std::vector<nlohmann::json>* kept) const;

    std::string directory_path_;
    int directory_ = -1;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

}  // namespace zelm::bench

// main() of every fuzz target. Under afl-fuzz it runs inputs in a persistent
// loop where the compiler supports one (afl-g++-fast), else one input per
// process through the fork server (afl-g++). Given file arguments it runs
// each file once, to replay a corpus or a crash outside the fuzzer.
#include "harness.hpp"

#include "locking/lock_directory.hpp"
#include "scan/device_lists.hpp"
#include "scan/process_cache.hpp"

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#ifdef ZELM_FUZZ_PERSISTENT
__AFL_FUZZ_INIT();
#endif

namespace zelm::fuzz {
namespace {

// Points TMPDIR at a fresh directory under the inherited one for the life of
// the process, so lock files never meet another process's or the machine's.
class PrivateTmpdir {
public:
    PrivateTmpdir() {
        auto const base = std::filesystem::temp_directory_path();
        std::string pattern = (base / "zelm_fuzz_XXXXXX").native();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
        }
        path_ = pattern;
        setenv("TMPDIR", path_.c_str(), 1);
    }
    ~PrivateTmpdir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    PrivateTmpdir(PrivateTmpdir const&) = delete;
    PrivateTmpdir& operator=(PrivateTmpdir const&) = delete;

private:
    std::filesystem::path path_;
};

std::string read_file(char const* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error(std::string("Cannot read input file: ") + path);
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Diagnostics of the library are expected by the thousand; printing them
// would only slow the fuzzer down.
void silence_default_logger() {
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("fuzz", std::make_shared<spdlog::sinks::null_sink_mt>()));
}

}  // namespace

void fail(std::string_view what) {
    std::fprintf(stderr, "fuzz check failed: %.*s\n", static_cast<int>(what.size()), what.data());
    std::abort();
}

int nesting_depth(nlohmann::json const& value) {
    struct Level {
        nlohmann::json const* value;
        int depth;
    };
    std::vector<Level> pending{{&value, 0}};
    int deepest = 0;
    while (!pending.empty()) {
        auto const [current, depth] = pending.back();
        pending.pop_back();
        if (!current->is_structured()) {
            continue;
        }
        deepest = std::max(deepest, depth + 1);
        for (auto const& child : *current) {
            pending.push_back({&child, depth + 1});
        }
    }
    return deepest;
}

std::filesystem::path lock_directory() { return detail::lock_directory_path(); }

std::size_t value_count(nlohmann::json const& value) {
    std::vector<nlohmann::json const*> pending{&value};
    std::size_t count = 0;
    while (!pending.empty()) {
        auto const* current = pending.back();
        pending.pop_back();
        ++count;
        if (current->is_structured()) {
            for (auto const& child : *current) {
                pending.push_back(&child);
            }
        }
    }
    return count;
}

void reset_caches() {
    detail::process_cache().clear();
    detail::device_lists().clear();
    std::error_code ignored;
    std::filesystem::remove_all(lock_directory(), ignored);
}

}  // namespace zelm::fuzz

int main(int argc, char** argv) {
    using namespace zelm::fuzz;
    silence_default_logger();
    if (argc > 1) {
        PrivateTmpdir const tmpdir;
        for (int i = 1; i < argc; ++i) {
            run_one(read_file(argv[i]));
        }
        return 0;
    }
#ifdef ZELM_FUZZ_PERSISTENT
    __AFL_INIT();
    PrivateTmpdir const tmpdir;
    unsigned char const* buffer = __AFL_FUZZ_TESTCASE_BUF;
    while (__AFL_LOOP(10000)) {
        auto const length = static_cast<std::size_t>(__AFL_FUZZ_TESTCASE_LEN);
        run_one(std::string_view(reinterpret_cast<char const*>(buffer), length));
    }
#else
    PrivateTmpdir const tmpdir;
    std::string const input{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
    run_one(input);
#endif
    return 0;
}

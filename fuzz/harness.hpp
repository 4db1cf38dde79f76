// The frame every fuzz target shares: one function per target that checks a
// single input, and the checks it fails with. A failed check aborts, which
// the fuzzer records as a crash together with the input.
#pragma once

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <string_view>

namespace zelm::fuzz {

// Defined by each target: runs one input and checks what the library made of
// it. Called many times in one process, so it leaves nothing behind that
// would change the next call's outcome.
void run_one(std::string_view input);

// Prints `what` on standard error and aborts.
[[noreturn]] void fail(std::string_view what);

inline void require(bool ok, std::string_view what) {
    if (!ok) {
        fail(what);
    }
}

// Runs `call`; fails unless it throws exactly an `Expected`, and returns the
// exception's message.
template <typename Expected, typename Call>
std::string message_of(Call&& call, std::string_view what) {
    try {
        call();
    } catch (Expected const& e) {
        return e.what();
    } catch (...) {
        fail(std::string(what) + ": threw something else");
    }
    fail(std::string(what) + ": threw nothing");
}

// How deeply `value` nests (a scalar is 0, `[]` is 1), found without
// recursion: comparing or copying a value nested deeply enough would exhaust
// the stack, so checks look at the depth first.
int nesting_depth(nlohmann::json const& value);
// How many values `value` holds, itself and every container included; found
// without recursion, like nesting_depth.
std::size_t value_count(nlohmann::json const& value);

// The lock directory under the current TMPDIR, which the harness has pointed
// at a private directory of this process.
std::filesystem::path lock_directory();

// Forgets every cached query answer of this process and every lock file, so
// the next input starts from an empty cache at both levels.
void reset_caches();

}  // namespace zelm::fuzz

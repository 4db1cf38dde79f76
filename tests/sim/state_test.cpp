// Simulated device state kept between processes: what one process writes the
// next reads back; a scan neither reads nor writes it; a state directory that
// another user could reach is refused; a saved file that cannot be trusted,
// or was saved under another configuration, is ignored.
#include "sim_test_support.hpp"

#include <zelm/scan.hpp>

#include <fmt/format.h>
#include <gmock/gmock.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>

namespace zelm::sim_test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

json const description = {{"serial", "KEEP-1"}};

// Register 2 starts at 7, memory byte 5 at 5; a change makes them 9 and 171.
json device_members() {
    return {{"registers", {{"count", 8}, {"values", {{"2", 7}}}}}, {"memory_size", 64}};
}

std::vector<std::string> const change_steps{"set:2=9", "write:5=171"};
std::vector<std::string> const show_steps{"get:2", "read:5"};
std::vector<std::string> const changed_lines{"register 2 9", "memory 5 171"};
std::vector<std::string> const configured_lines{"register 2 7", "memory 5 5"};

class SimStateTest : public SimTest {
protected:
    void SetUp() override { use_config(one_device(description, device_members())); }

    fs::path state_directory() const { return dir() / "zelm-sim"; }

    // The files in the state directory, with their content.
    std::map<fs::path, std::string> saved_files() const {
        std::map<fs::path, std::string> files;
        if (fs::is_directory(state_directory())) {
            for (auto const& entry : fs::directory_iterator(state_directory())) {
                files[entry.path()] = read_file(entry.path());
            }
        }
        return files;
    }

    // The one state file, once the device has saved its state.
    fs::path state_file() const {
        auto const files = saved_files();
        EXPECT_EQ(files.size(), 1U);
        return files.empty() ? fs::path() : files.begin()->first;
    }

    // Runs sim_probe on the device with these steps; its standard output
    // (what it prints, and the library's and the plug-in's log lines).
    std::vector<std::string> probe(std::vector<std::string> const& steps) {
        std::vector<std::string> arguments{"device", plugin_path.native(), description.dump()};
        arguments.insert(arguments.end(), steps.begin(), steps.end());
        auto const output = probe_output_.path() / "probe.out";
        Probe process(arguments, output);
        EXPECT_EQ(process.wait(), 0) << "sim_probe " << ::testing::PrintToString(steps);
        return read_lines(output);
    }

    // What the device shows in this process.
    std::vector<std::string> shown() {
        auto const device = open(description);
        unsigned char byte = 0;
        EXPECT_EQ(device->read(5, 1, &byte), 0);
        return {"register 2 " + std::to_string(device->get_register_sync(2).value_or(0)),
                "memory 5 " + std::to_string(byte)};
    }

    void change() {
        auto const device = open(description);
        ASSERT_EQ(device->set_register_sync(2, 9, 0), 0);
        unsigned char const byte = 171;
        ASSERT_EQ(device->write(5, 1, &byte), 0);
    }

private:
    test::TempDir probe_output_;
};

std::vector<std::string> values_only(std::vector<std::string> lines) {
    std::erase_if(lines, [](std::string const& line) {
        return !line.starts_with("register ") && !line.starts_with("memory ");
    });
    return lines;
}

// Each file's content and inode: a file saved again with the same content
// is a new file.
std::map<fs::path, std::string> with_inodes(std::map<fs::path, std::string> files) {
    for (auto& [path, content] : files) {
        struct stat status {};
        ::stat(path.c_str(), &status);
        content += " (inode " + std::to_string(status.st_ino) + ")";
    }
    return files;
}

TEST_F(SimStateTest, WhatOneProcessWritesTheNextReadsBackAndScansLeaveAlone) {
    auto config = one_device(description, device_members());
    config["open_log"] = "opens.log";
    use_config(config);
    // Each in a process and a lock directory of its own, so that its query
    // cache is cold and it opens the device.
    auto const scan = [&](char const* name) {
        auto const tmpdir = dir() / name;
        fs::create_directory(tmpdir);
        EXPECT_EQ(test::run_in_child([&] {
                      setenv("TMPDIR", tmpdir.c_str(), 1);
                      return scan_devices({plugin_path}).size() == 1 ? 0 : 1;
                  }),
                  0);
    };

    scan("first-scan");
    EXPECT_FALSE(fs::exists(state_directory())) << "a scan, which only queries, looked for saved state";
    EXPECT_EQ(values_only(probe(show_steps)), configured_lines);
    EXPECT_TRUE(saved_files().empty()) << "a read saved state";

    EXPECT_THAT(values_only(probe(change_steps)), ElementsAre());
    auto const saved = with_inodes(saved_files());
    ASSERT_EQ(saved.size(), 1U);
    EXPECT_EQ(fs::status(state_directory()).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(saved.begin()->first).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    EXPECT_EQ(values_only(probe(show_steps)), changed_lines);
    scan("second-scan");
    EXPECT_EQ(read_lines(dir() / "opens.log").size(), 5U) << "two scans and three probes open the device";
    EXPECT_EQ(with_inodes(saved_files()), saved) << "a scan or a read saved state";
    EXPECT_EQ(values_only(probe(show_steps)), changed_lines);
}

struct Location {
    char const* name;
    // XDG_RUNTIME_DIR: a leading "/" stands for the test's directory; a
    // relative path is set as it is.
    std::optional<std::string> runtime_dir;
    std::string state_directory;             // relative to the test's directory
};

std::ostream& operator<<(std::ostream& stream, Location const& location) { return stream << location.name; }

class SimStateLocationTest : public SimStateTest, public ::testing::WithParamInterface<Location> {};

TEST_P(SimStateLocationTest, StateLivesInTheFamilysDirectory) {
    auto const& location = GetParam();
    fs::create_directory(dir() / "runtime");
    std::optional<std::string> runtime_dir = location.runtime_dir;
    if (runtime_dir && runtime_dir->starts_with("/")) {
        runtime_dir = (dir() / runtime_dir->substr(1)).native();
    }
    ScopedEnv const runtime("XDG_RUNTIME_DIR", runtime_dir);
    auto const expected =
        dir() / fmt::format(fmt::runtime(location.state_directory), fmt::arg("uid", ::geteuid()));

    change();

    ASSERT_TRUE(fs::is_directory(expected));
    EXPECT_EQ(std::distance(fs::directory_iterator(expected), fs::directory_iterator()), 1);
    EXPECT_EQ(shown(), changed_lines);
}

INSTANTIATE_TEST_SUITE_P(Cases, SimStateLocationTest,
                         ::testing::Values(Location{"RuntimeDirectory", "/runtime", "runtime/zelm-sim"},
                                           Location{"NoRuntimeDirectory", std::nullopt, "zelm-sim-{uid}"},
                                           Location{"RelativeRuntimeDirectory", "runtime", "zelm-sim-{uid}"}),
                         [](auto const& test) { return std::string(test.param.name); });

// Another user's doing at the state directory's name.
struct Planted {
    char const* name;
    bool needs_root;
    void (*plant)(fs::path const& state_directory);
};

std::ostream& operator<<(std::ostream& stream, Planted const& planted) { return stream << planted.name; }

void directory_with_mode(fs::path const& path, fs::perms mode) {
    fs::create_directory(path);
    fs::permissions(path, mode);
}

// Every file and directory under `root` with its content.
std::map<fs::path, std::string> tree(fs::path const& root) {
    std::map<fs::path, std::string> entries;
    for (auto const& entry : fs::recursive_directory_iterator(root)) {
        entries[entry.path()] = entry.is_regular_file() ? read_file(entry.path()) : "(not a file)";
    }
    return entries;
}

class SimStateRefusedTest : public SimStateTest, public ::testing::WithParamInterface<Planted> {};

TEST_P(SimStateRefusedTest, StateIsNotKeptAndNothingIsWrittenThere) {
    if (GetParam().needs_root && ::geteuid() != 0) {
        GTEST_SKIP() << "only root can give a directory to another user";
    }
    GetParam().plant(state_directory());
    auto const before = tree(dir());

    auto const lines = probe({"set:2=9", "write:5=171", "reopen", "get:2", "read:5", "reopen", "set:2=1"});

    EXPECT_EQ(values_only(lines), configured_lines) << "an open kept the state of the one before";
    auto const warnings = std::count_if(lines.begin(), lines.end(), [](std::string const& line) {
        return line.find("keep no state") != std::string::npos;
    });
    EXPECT_EQ(warnings, 1) << ::testing::PrintToString(lines);
    EXPECT_THAT(::testing::PrintToString(lines), HasSubstr(state_directory().native()));
    EXPECT_EQ(tree(dir()), before) << "something was written";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimStateRefusedTest,
    ::testing::Values(Planted{"LinkToADirectory", false,
                              [](fs::path const& path) {
                                  directory_with_mode(path.parent_path() / "elsewhere", fs::perms::owner_all);
                                  fs::create_directory_symlink("elsewhere", path);
                              }},
                      Planted{"RegularFile", false, [](fs::path const& path) { std::ofstream(path) << "x"; }},
                      Planted{"GroupWritable", false,
                              [](fs::path const& path) {
                                  directory_with_mode(path, fs::perms::owner_all | fs::perms::group_all);
                              }},
                      Planted{"WritableByOthers", false,
                              [](fs::path const& path) {
                                  directory_with_mode(path, fs::perms::owner_all | fs::perms::others_write |
                                                                fs::perms::others_exec);
                              }},
                      Planted{"OwnedByAnotherUser", true,
                              [](fs::path const& path) {
                                  directory_with_mode(path, fs::perms::owner_all);
                                  ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
                              }}),
    [](auto const& test) { return std::string(test.param.name); });

// What is done to a saved state file.
struct Damage {
    char const* name;
    void (*damage)(fs::path const& file, json const& saved);
    bool saved_again = true;  // false where the damage is something that saving must not replace
};

std::ostream& operator<<(std::ostream& stream, Damage const& damage) { return stream << damage.name; }

void replace_with(fs::path const& file, std::string const& text) { std::ofstream(file, std::ios::trunc) << text; }

void replace_member(fs::path const& file, json saved, char const* member, json const& value) {
    saved[member] = value;
    replace_with(file, saved.dump());
}

// A JSON array nested `depth` levels deep.
std::string nested_array(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

class SimStateIgnoredTest : public SimStateTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(SimStateIgnoredTest, TheDeviceStartsFromTheConfiguredStateAndSavesAgain) {
    change();
    auto const file = state_file();
    auto const saved = json::parse(read_file(file));

    GetParam().damage(file, saved);

    EXPECT_EQ(shown(), configured_lines);
    if (GetParam().saved_again) {
        change();
        EXPECT_EQ(json::parse(read_file(state_file())), saved) << "the state was not saved afresh";
        EXPECT_EQ(shown(), changed_lines);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimStateIgnoredTest,
    ::testing::Values(
        Damage{"NotJson", [](fs::path const& file, json const&) { replace_with(file, "registers: 2=9"); }},
        Damage{"Truncated",
               [](fs::path const& file, json const& saved) {
                   replace_with(file, saved.dump().substr(0, saved.dump().size() - 2));
               }},
        Damage{"Empty", [](fs::path const& file, json const&) { replace_with(file, ""); }},
        Damage{"Oversized",
               [](fs::path const& file, json const& saved) {
                   replace_with(file, saved.dump() + std::string(std::size_t{1} << 20, ' '));
               }},
        Damage{"NestedTooDeep",
               [](fs::path const& file, json const& saved) {
                   auto text = saved.dump();
                   text.insert(1, "\"deep\":" + nested_array(100000) + ",");
                   replace_with(file, text);
               }},
        Damage{"AnotherDescription",
               [](fs::path const& file, json const& saved) {
                   replace_member(file, saved, "description", R"({"serial":"KEEP-2"})");
               }},
        Damage{"AnotherFormat",
               [](fs::path const& file, json const& saved) { replace_member(file, saved, "format", 2); }},
        Damage{"RegisterBeyondTheFile",
               [](fs::path const& file, json const& saved) {
                   replace_member(file, saved, "registers", {{2, 9}, {8, 1}});
               }},
        Damage{"RegisterValueTooLarge",
               [](fs::path const& file, json const& saved) {
                   replace_member(file, saved, "registers", {{2, 0x1'0000'0000ULL}});
               }},
        Damage{"MemoryBeyondTheEnd",
               [](fs::path const& file, json const& saved) {
                   replace_member(file, saved, "memory", {{5, "ab"}, {63, "abcd"}});
               }},
        Damage{"OddHexDigits",
               [](fs::path const& file, json const& saved) { replace_member(file, saved, "memory", {{5, "abc"}}); }},
        Damage{"NotHex",
               [](fs::path const& file, json const& saved) { replace_member(file, saved, "memory", {{5, "zz"}}); }},
        Damage{"ADirectory",
               [](fs::path const& file, json const&) {
                   fs::remove(file);
                   fs::create_directory(file);
               },
               false},
        Damage{"ALinkToAValidFile",
               [](fs::path const& file, json const&) {
                   fs::rename(file, file.parent_path().parent_path() / "saved.json");
                   fs::create_symlink("../saved.json", file);
               }}),
    [](auto const& test) { return std::string(test.param.name); });

// An edit of the configuration between two opens.
struct Edit {
    char const* name;
    json members;               // merged into the device's configuration
    bool keeps_state;           // whether the saved state still applies
    std::vector<std::string> shown_when_started_over;
};

std::ostream& operator<<(std::ostream& stream, Edit const& edit) { return stream << edit.name; }

class SimStateConfigurationTest : public SimStateTest, public ::testing::WithParamInterface<Edit> {};

TEST_P(SimStateConfigurationTest, AnEditOfTheConfiguredStateStartsOver) {
    change();
    ASSERT_EQ(shown(), changed_lines);
    release_manager();
    auto members = device_members();
    members.merge_patch(GetParam().members);
    use_config(one_device(description, members));

    EXPECT_EQ(shown(), GetParam().keeps_state ? changed_lines : GetParam().shown_when_started_over);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimStateConfigurationTest,
    ::testing::Values(Edit{"InitialRegisterValue",
                           {{"registers", {{"values", {{"2", 8}}}}}},
                           false,
                           {"register 2 8", "memory 5 5"}},
                      Edit{"RegisterCount", {{"registers", {{"count", 9}}}}, false, configured_lines},
                      Edit{"MemorySize", {{"memory_size", 128}}, false, configured_lines},
                      Edit{"Information", {{"info", {{"Model", "renamed"}}}}, true, {}},
                      Edit{"StateNotKept", {{"keep_state", false}}, false, configured_lines}),
    [](auto const& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace zelm::sim_test

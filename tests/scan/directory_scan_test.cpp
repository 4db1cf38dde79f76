// scan_devices_dir: which files of a directory are taken for plug-ins, in
// which order, and what a missing directory gives.
#include "log_capture.hpp"
#include "test_support.hpp"

#include <zelm/scan.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <set>

namespace zelm {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;

class DirectoryScan : public testing::Test {
protected:
    // The paths the scan tried to load: each selected file that is not a
    // plug-in gives one "skipped" warning naming it.
    std::set<std::string> skipped() const {
        std::set<std::string> paths;
        std::string const prefix = "warning Scanner skipped manager ";
        for (auto const& line : log_.lines()) {
            if (line.starts_with(prefix)) {
                paths.insert(line.substr(prefix.size(), line.find(": ", prefix.size()) - prefix.size()));
            }
        }
        return paths;
    }

    test::ScopedTmpdir tmpdir_;
    test::TempDir dir_;
    test::LogCapture log_;
};

TEST_F(DirectoryScan, SelectsPluginFilesByTypeExtensionAndName) {
    std::vector<std::string> const selected = {"libfoo_manager.dylib", "foo_manager.so", "foo_manager.dll",
                                               "x_managers.so", "lib_manager_v2.so"};
    std::vector<std::string> const passed_over = {"manager.so", "libfoo_Manager.so", "foo_manager.SO",
                                                  "foo_manager.so.1", "foo_manager.txt"};
    for (auto const& name : selected) {
        std::ofstream(dir_.path() / name) << "not a library";
    }
    for (auto const& name : passed_over) {
        std::ofstream(dir_.path() / name) << "not a library";
    }
    std::filesystem::create_directory(dir_.path() / "sub_manager.so");
    std::filesystem::create_symlink(dir_.path() / "nowhere", dir_.path() / "dangling_manager.so");
    std::filesystem::create_directory_symlink(dir_.path() / "sub_manager.so", dir_.path() / "dir_link_manager.so");

    EXPECT_THAT(scan_devices_dir(dir_.path()), IsEmpty());

    std::set<std::string> expected;
    for (auto const& name : selected) {
        expected.insert((dir_.path() / name).native());
    }
    expected.insert((dir_.path() / "dangling_manager.so").native());
    expected.insert((dir_.path() / "dir_link_manager.so").native());
    EXPECT_EQ(skipped(), expected);
}

TEST_F(DirectoryScan, ScansPluginsInDirectoryListingOrder) {
    auto const events = dir_.path() / "events";
    for (auto const* name : {"a_manager.so", "b_manager.so", "c_manager.so"}) {
        nlohmann::json config = {{"events", events.native()}};
        config["devices"] = nlohmann::json::array({nlohmann::json::object({{"serial", name}})});
        test::install_test_plugin(dir_.path(), name, config);
    }
    std::vector<std::string> listing_order;
    for (auto const& entry : std::filesystem::directory_iterator(dir_.path())) {
        if (entry.path().extension() == ".so") {
            listing_order.push_back(entry.path().native());
        }
    }

    auto const results = scan_devices_dir(dir_.path());

    ASSERT_EQ(results.size(), 3u);
    for (std::size_t i = 0; i < results.size(); ++i) {
        auto const& found = std::get<DeviceFound>(results[i]);
        EXPECT_EQ(found.plugin_path, listing_order[i]);
        EXPECT_EQ(found.serial_number, std::filesystem::path(listing_order[i]).filename().native());
    }
}

TEST_F(DirectoryScan, MissingDirectoryOrRegularFileWarnsAndGivesNothing) {
    auto const missing = dir_.path() / "missing";
    auto const file = dir_.path() / "file";
    std::ofstream(file) << "x";

    EXPECT_THAT(scan_devices_dir(missing), IsEmpty());
    EXPECT_THAT(scan_devices_dir(file), IsEmpty());
    EXPECT_THAT(log_.lines(),
                ElementsAre("warning Manager directory does not exist or is not a directory: " + missing.native(),
                            "warning Manager directory does not exist or is not a directory: " + file.native()));
}

TEST_F(DirectoryScan, DirectoryWithoutPluginsGivesNothingSilently) {
    std::ofstream(dir_.path() / "readme.txt") << "x";
    EXPECT_THAT(scan_devices_dir(dir_.path()), IsEmpty());
    EXPECT_THAT(log_.lines(), IsEmpty());
}

}  // namespace
}  // namespace zelm

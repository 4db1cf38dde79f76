// A plug-in exported by hand rather than through ZELM_PLUGIN_ENTRY: with
// COMPAT_TAG it carries that ABI tag, as one built against other headers or
// another standard library would; without it, it carries no tag at all.
#include <zelm/device_manager.hpp>

#include <stdexcept>

namespace {

class CompatManager : public zelm::DeviceManager {
public:
    std::string get_name() override { return "compat"; }
    std::filesystem::path get_path() override { return "/compat"; }
    std::string list_devices() override { return "[]"; }
    std::string get_version() override { return "1"; }
    std::unique_ptr<zelm::Device> open_device(std::string const& description) override {
        throw std::runtime_error("no such device: " + description);
    }
};

}  // namespace

#ifdef COMPAT_TAG
extern "C" ZELM_API char const zelm_plugin_abi_tag[] = COMPAT_TAG;
#endif

extern "C" ZELM_API zelm::DeviceManager* create_manager() { return new CompatManager; }

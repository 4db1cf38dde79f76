#include "cluster/lab_wide.hpp"

#include <zelm/cluster.hpp>

#include <dlfcn.h>

#include <typeinfo>

namespace zelm::detail {

LabWideQuery lab_wide_query_of(DeviceManager const& manager) noexcept {
    // The manager's dynamic type, and so its type information, is the
    // plug-in's own.
    Dl_info library{};
    if (dladdr(&typeid(manager), &library) == 0 || library.dli_fname == nullptr) {
        return nullptr;
    }
    void* handle = dlopen(library.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) {
        return nullptr;
    }
    void* symbol = dlsym(handle, "zelm_is_lab_wide");
    dlclose(handle);  // the manager keeps the library loaded
    // dlsym also searches the plug-in's dependencies: only the plug-in's own
    // definition counts.
    Dl_info defined{};
    if (symbol == nullptr || dladdr(symbol, &defined) == 0 || defined.dli_fbase != library.dli_fbase) {
        return nullptr;
    }
    return reinterpret_cast<LabWideQuery>(symbol);
}

bool marks_lab_wide(LabWideQuery query, DeviceManager& manager, std::string const& compact_description) noexcept {
    return query != nullptr && query(&manager, compact_description.c_str()) != 0;
}

std::string owner_key_of(std::string const& manager_path, std::string const& compact_description) {
    return std::string(cluster::owners_prefix) + manager_path + "/" + compact_description;
}

}  // namespace zelm::detail

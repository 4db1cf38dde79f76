// How people name one device, and finding the one device a name means among
// those that plug-ins list: by its description (JSON), by the serial number
// a scan shows for it, or by a key=value filter over its description's
// members. The same rules for every host, so that a name typed at a terminal
// means the same device in a host program.
#pragma once

#include <zelm/device_manager.hpp>
#include <zelm/export.hpp>

#include <nlohmann/json.hpp>

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelm {

// Text that is no selector: bad or too deeply nested JSON, a number that no
// JSON value holds as written, a filter member without a key, empty text.
// The message is one line saying which, for example "not a JSON device
// description: <the parser's message>".
class ZELM_API SelectorSyntaxError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
    ~SelectorSyntaxError() override;
    SelectorSyntaxError(SelectorSyntaxError const&) = default;
    SelectorSyntaxError& operator=(SelectorSyntaxError const&) = default;
};

class ZELM_API DeviceSelector {
public:
    enum class Kind {
        description,    // a JSON description
        serial_number,  // the serial number that a scan shows
        filter,         // members that the description, an object, must have
    };

    // Text starting with '{', '[' or '"' (after white space) is a JSON
    // description, nested at most max_json_depth levels, with no number that
    // JSON values cannot hold as written (1e400, 18446744073709551616);
    // text holding '=' a filter, split into members at each ',' that starts
    // a new "key=" (so "name=a,b,serial=1" is name "a,b" and serial "1") and
    // each member at its first '='; anything else a serial number. Throws
    // SelectorSyntaxError, and std::bad_alloc.
    static DeviceSelector parse(std::string_view text);

    // A selector of the description `description` itself. Throws
    // std::bad_alloc only.
    static DeviceSelector of_description(nlohmann::json description);

    Kind kind() const noexcept { return kind_; }
    // As typed (for a description made by of_description, its compact text).
    std::string const& text() const noexcept { return text_; }
    // The description; null unless kind() is description.
    nlohmann::json const& description() const noexcept { return description_; }
    // The members of a filter, in the order typed; empty for another kind.
    std::vector<std::pair<std::string, std::string>> const& members() const noexcept { return members_; }

    // How messages name it: "the description {...}", "the serial number
    // SIM-0002", "the filter model=x". Throws std::bad_alloc only.
    std::string what() const;

private:
    DeviceSelector() = default;

    Kind kind_ = Kind::serial_number;
    std::string text_;
    nlohmann::json description_;
    std::vector<std::pair<std::string, std::string>> members_;
};

// A listed device that a selector may name.
struct DeviceCandidate {
    std::filesystem::path plugin_path;
    std::string description;  // compact JSON, as listed
    // The serial number its scan shows when it is free, or the one it showed
    // when last queried on this machine when it is occupied; none when
    // unknown.
    std::optional<std::string> serial_number = std::nullopt;
    // Why it could not be queried (its query failed, or its lock files
    // cannot be used), so that a serial number that names nothing can say
    // what it might have named.
    std::optional<std::string> query_error = std::nullopt;
};

// Whether `selector` names `candidate`. A description names the candidates
// whose description has the same compact text or, only when none has, those
// equal to it as JSON values (7.0 for 7) (see matching_devices); a serial
// number those whose serial number is exactly it; a filter those whose
// description is an object having every member, a string member equal to the
// value's text, any other member equal to the value read as JSON ("serial=7"
// matches 7 and 7.0, "on=true" matches true, "serial=1e400" matches no
// number). Throws std::bad_alloc only.
ZELM_API std::vector<std::size_t> matching_devices(DeviceSelector const& selector,
                                                   std::vector<DeviceCandidate> const& candidates);

// No candidate matches. The message says what was searched and, when the
// search left something out, what: "no device listed by sim_manager.so
// matches the serial number SIM-0009; 1 device could not be queried: ...".
class ZELM_API NoMatchingDeviceError : public std::runtime_error {
public:
    NoMatchingDeviceError(std::string const& message, bool incomplete);
    ~NoMatchingDeviceError() override;
    NoMatchingDeviceError(NoMatchingDeviceError const&) = default;
    NoMatchingDeviceError& operator=(NoMatchingDeviceError const&) = default;

    // True when a device could not be queried or a plug-in could not be
    // searched: the same selector may name a device once they answer, so
    // this is a failed search, not a wrong name.
    bool incomplete() const noexcept { return incomplete_; }

private:
    bool incomplete_;
};

// Several candidates match. The message says how many; candidates() lists
// them.
class ZELM_API AmbiguousSelectorError : public std::runtime_error {
public:
    AmbiguousSelectorError(std::string const& message, std::vector<DeviceCandidate> candidates);
    ~AmbiguousSelectorError() override;
    AmbiguousSelectorError(AmbiguousSelectorError const&) = default;
    AmbiguousSelectorError& operator=(AmbiguousSelectorError const&) = default;

    std::vector<DeviceCandidate> const& candidates() const noexcept { return candidates_; }

private:
    std::vector<DeviceCandidate> candidates_;
};

// The one candidate that `selector` names. `searched` names what the
// candidates came from in messages ("sim_manager.so", "the plug-ins in
// /usr/lib/zelm/plugins"); `unsearched` says, one line each, why each plug-in
// left out of the search could not be searched. Throws NoMatchingDeviceError,
// AmbiguousSelectorError, and std::bad_alloc.
ZELM_API DeviceCandidate const& choose_device(DeviceSelector const& selector,
                                              std::vector<DeviceCandidate> const& candidates,
                                              std::string const& searched,
                                              std::vector<std::string> const& unsearched = {});

// A device that a selector named, with its plug-in's live manager.
struct SelectedDevice {
    std::filesystem::path plugin_path;
    std::shared_ptr<DeviceManager> manager;
    std::string description;  // compact JSON, as listed
};

struct SelectOptions {
    // What the plug-ins are, for messages; by default the one plug-in's file
    // name, or "the plug-ins given".
    std::optional<std::string> searched;
    // A plug-in that cannot be searched (it does not load, list or say its
    // path) is left out, and named in a NoMatchingDeviceError, instead of
    // failing the search: for the plug-ins of a directory, so that one broken
    // plug-in does not hide every other device.
    bool skip_failed_plugins = false;
};

// Finds the one device that `selector` names among those that `plugins` list.
// A serial number is looked for in a scan (scan_devices_report), so it names
// a free device by the serial number it shows and an occupied one by the
// serial number it showed when last queried on this machine; a description
// or a filter lists the devices only, querying none. Throws
// NoMatchingDeviceError, AmbiguousSelectorError; PluginLoadError (and, for a
// plug-in that cannot list or say its path, std::runtime_error "cannot list
// the devices of <plug-in>: <reason>") unless options.skip_failed_plugins;
// and what non-standard exceptions plug-in code throws.
ZELM_API SelectedDevice select_device(std::vector<std::filesystem::path> const& plugins,
                                      DeviceSelector const& selector, SelectOptions const& options = {});

}  // namespace zelm

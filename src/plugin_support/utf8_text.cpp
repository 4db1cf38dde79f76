#include <zelm/plugin/utf8_text.hpp>

#include <nlohmann/json.hpp>

namespace zelm::plugin {

std::string as_utf8(std::string const& text) {
    using nlohmann::json;
    return json::parse(json(text).dump(-1, ' ', false, json::error_handler_t::replace)).get<std::string>();
}

}  // namespace zelm::plugin

// A tree builder for the JSON library's public event (SAX) interface that
// stops as soon as the text leaves its bounds.
#include <zelm/plugin/bounded_json.hpp>

#include <string>
#include <utility>
#include <vector>

namespace zelm::plugin {
namespace {

using nlohmann::json;

class BoundedTreeBuilder {
public:
    BoundedTreeBuilder(json& root, JsonBounds bounds) : root_(root), bounds_(bounds) {}

    bool null() { return add(nullptr) != nullptr; }
    bool boolean(bool value) { return add(value) != nullptr; }
    bool number_integer(json::number_integer_t value) { return add(value) != nullptr; }
    bool number_unsigned(json::number_unsigned_t value) { return add(value) != nullptr; }
    bool number_float(json::number_float_t value, json::string_t const&) { return add(value) != nullptr; }
    bool string(json::string_t& value) { return add(std::move(value)) != nullptr; }
    bool binary(json::binary_t& value) { return add(std::move(value)) != nullptr; }

    bool start_object(std::size_t) { return open(json::value_t::object); }
    bool key(json::string_t& name) {
        member_ = &open_.back()->get_ref<json::object_t&>()[name];
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(json::value_t::array); }
    bool end_array() { return close(); }

    bool parse_error(std::size_t, std::string const&, json::exception const&) { return false; }

private:
    // Places `value` where the text puts it: the root, the next element of
    // the open array, or the member whose key came last.
    template <typename Value>
    json* add(Value&& value) {
        if (++values_ > bounds_.max_values) {
            return nullptr;
        }
        if (open_.empty()) {
            root_ = json(std::forward<Value>(value));
            return &root_;
        }
        if (auto* array = open_.back()->get_ptr<json::array_t*>()) {
            return &array->emplace_back(std::forward<Value>(value));
        }
        *member_ = json(std::forward<Value>(value));
        return member_;
    }

    bool open(json::value_t type) {
        if (open_.size() >= static_cast<std::size_t>(bounds_.max_depth)) {
            return false;
        }
        auto* container = add(type);
        if (container == nullptr) {
            return false;
        }
        open_.push_back(container);
        return true;
    }

    bool close() {
        open_.pop_back();
        return true;
    }

    json& root_;
    JsonBounds bounds_;
    std::vector<json*> open_;  // the containers being filled, innermost last
    json* member_ = nullptr;   // the member whose key came last
    std::size_t values_ = 0;
};

}  // namespace

std::optional<nlohmann::json> parse_bounded(std::string_view text, JsonBounds bounds) {
    json value;
    BoundedTreeBuilder builder(value, bounds);
    if (!json::sax_parse(text, &builder)) {
        return std::nullopt;
    }
    return value;
}

}  // namespace zelm::plugin

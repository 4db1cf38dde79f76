// Recognising the compact serialisation of a parsed record by its bytes, and
// finding its top-level members in it.
#include "scan/compact_record.hpp"

#include "scan/query_record.hpp"

#include <algorithm>
#include <vector>

namespace zelm::detail {
namespace {

// Longer integers may have been read as floating values, whose text differs.
constexpr std::size_t max_integer_digits = 18;

struct Container {
    bool object;
    bool expecting_key;  // objects: the next string is a key
    bool has_key;
    std::string_view last_key;
};

bool is_number_character(char c) {
    return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// An integer exactly as the JSON library writes it back. ("-0" reads as 0.)
bool is_compact_integer(std::string_view number) {
    auto digits = number;
    if (digits.starts_with('-')) {
        digits.remove_prefix(1);
    }
    bool const all_digits =
        !digits.empty() && std::ranges::all_of(digits, [](char c) { return c >= '0' && c <= '9'; });
    return all_digits && digits.size() <= max_integer_digits && (digits.size() == 1 || digits.front() != '0') &&
           number != "-0";
}

// Reads the text once, keeping a stack of open containers; the text is known
// to be valid JSON, so only what makes it differ from the compact form is
// looked for.
class CompactReader {
public:
    explicit CompactReader(std::string_view text) : text_(text) {
        open_.reserve(8);  // records nest a few levels
    }

    std::optional<RecordMembers> read() {
        if (!text_.starts_with('{')) {
            return std::nullopt;
        }
        while (at_ < text_.size()) {
            if (!step()) {
                return std::nullopt;
            }
        }
        if (!open_.empty()) {
            return std::nullopt;
        }
        return members_;
    }

private:
    bool step() {
        char const c = text_[at_];
        switch (c) {
        case '"':
            return string();
        case '{':
        case '[':
            if (open_.size() > static_cast<std::size_t>(max_record_depth)) {
                return false;
            }
            open_.push_back({c == '{', c == '{', false, {}});
            ++at_;
            return true;
        case ':':
            if (open_.size() == 1) {
                value_start_ = at_ + 1;
            }
            ++at_;
            return true;
        case ',':
        case '}':
        case ']':
            return end_of_value(c);
        case 't':
        case 'f':
        case 'n':
            while (at_ < text_.size() && text_[at_] >= 'a' && text_[at_] <= 'z') {
                ++at_;
            }
            return true;
        default:
            return number();
        }
    }

    bool string() {
        auto end = at_ + 1;
        while (end < text_.size() && text_[end] != '"' && text_[end] != '\\') {
            ++end;
        }
        if (end == text_.size() || text_[end] != '"') {
            return false;  // an escape: the serialisation might write it differently
        }
        auto const content = text_.substr(at_ + 1, end - at_ - 1);
        at_ = end + 1;
        if (open_.empty() || !open_.back().object || !open_.back().expecting_key) {
            return true;
        }
        auto& object = open_.back();
        if (object.has_key && !(object.last_key < content)) {
            return false;  // out of order, or repeated
        }
        object.last_key = content;
        object.has_key = true;
        object.expecting_key = false;
        if (open_.size() == 1) {
            member_ = content;
        }
        return true;
    }

    // ',' ends a member or element; '}' and ']' end it and their container.
    bool end_of_value(char c) {
        if (open_.empty()) {
            return false;
        }
        if (open_.size() == 1 && open_.back().has_key) {
            auto const value = text_.substr(value_start_, at_ - value_start_);
            if (member_ == "info") {
                members_.info = value;
            } else if (member_ == "status") {
                members_.status = value;
            } else if (member_ == "manager") {
                members_.manager = value;
            } else if (member_ == "device") {
                members_.device = value;
            }
        }
        ++at_;
        if (c == ',') {
            open_.back().expecting_key = open_.back().object;
            return true;
        }
        open_.pop_back();
        return !open_.empty() || at_ == text_.size();
    }

    bool number() {
        auto end = at_;
        while (end < text_.size() && is_number_character(text_[end])) {
            ++end;
        }
        if (end == at_ || !is_compact_integer(text_.substr(at_, end - at_))) {
            return false;  // white space, or a number written otherwise
        }
        at_ = end;
        return true;
    }

    std::string_view text_;
    std::size_t at_ = 0;
    std::vector<Container> open_;
    std::string_view member_;  // the top-level member being read
    std::size_t value_start_ = 0;
    RecordMembers members_;
};

}  // namespace

std::optional<RecordMembers> compact_record_members(std::string_view text) { return CompactReader(text).read(); }

}  // namespace zelm::detail

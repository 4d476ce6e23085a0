#include "model/JsonPath.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <unordered_map>
#include <utility>

namespace telvane {

namespace {

// Builds the document from nlohmann's SAX events, which (unlike its DOM
// parser) hand over the written text of numbers that do not fit 64 bits.
// The documents' destructor may allocate while it tears down deep nesting;
// running out of memory there ends the process whatever we do.
// NOLINTNEXTLINE(bugprone-exception-escape)
class PayloadBuilder {
public:
    bool null() { return add(Json(nullptr)) != nullptr; }
    bool boolean(bool value) { return add(Json(value)) != nullptr; }
    bool number_integer(Json::number_integer_t value) { return add(Json(value)) != nullptr; }
    bool number_unsigned(Json::number_unsigned_t value) { return add(Json(value)) != nullptr; }
    bool number_float(Json::number_float_t value, const Json::string_t& text)
    {
        if (text.find_first_of(".eE") == Json::string_t::npos) {
            return add(Json(text)) != nullptr;
        }
        return add(Json(value)) != nullptr;
    }
    bool string(Json::string_t& value) { return add(Json(std::move(value))) != nullptr; }
    bool binary(Json::binary_t& /*value*/) { return false; }
    bool start_object(std::size_t /*elements*/) { return open(Json::object()); }
    bool key(Json::string_t& key)
    {
        key_ = std::move(key);
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(std::size_t /*elements*/) { return open(Json::array()); }
    bool end_array() { return close(); }
    bool parse_error(std::size_t /*position*/, const std::string& /*lastToken*/, const Json::exception& /*error*/)
    {
        return false;
    }

    [[nodiscard]] Json take() { return std::move(root_); }

private:
    struct OpenContainer {
        Json* value;
        // Position of each key among the members: keeps duplicate handling
        // linear, where a search of the ordered members would be quadratic.
        std::unordered_map<std::string, std::size_t> keyPositions;
    };

    // Pointers on the stack stay valid: a container only grows while it is
    // the innermost open one, and then nothing inside it is open.
    Json* add(Json&& value)
    {
        if (stack_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        OpenContainer& top = stack_.back();
        if (top.value->is_array()) {
            auto& elements = top.value->get_ref<Json::array_t&>();
            elements.push_back(std::move(value));
            return &elements.back();
        }
        auto& members = top.value->get_ref<Json::object_t&>();
        const auto [it, inserted] = top.keyPositions.try_emplace(key_, members.size());
        if (!inserted) {
            // ordered_map hides the vector's operator[] behind its key lookup.
            Json& slot = std::next(members.begin(), static_cast<std::ptrdiff_t>(it->second))->second;
            slot = std::move(value);
            return &slot;
        }
        members.emplace_back(std::move(key_), std::move(value));
        return &members.back().second;
    }

    bool open(Json&& container)
    {
        if (stack_.size() >= static_cast<std::size_t>(kMaxPayloadDepth)) {
            return false;
        }
        Json* placed = add(std::move(container));
        stack_.push_back({placed, {}});
        return true;
    }

    bool close()
    {
        stack_.pop_back();
        return true;
    }

    Json root_;
    std::string key_;
    std::vector<OpenContainer> stack_;
};

}  // namespace

// Optional sign, at least one digit, nothing else, within the signed 64-bit
// range, and not negative ("-0" is 0).
std::optional<std::uint64_t> jsonArrayIndex(std::string_view component)
{
    bool negative = false;
    if (!component.empty() && (component.front() == '+' || component.front() == '-')) {
        negative = component.front() == '-';
        component.remove_prefix(1);
    }
    if (component.empty()) {
        return std::nullopt;
    }
    constexpr auto kLimit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    std::uint64_t value = 0;
    for (const char c : component) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        // The negative side reaches one further (INT64_MIN), but every
        // negative index other than -0 is refused anyway.
        if (value > (kLimit + (negative ? 1 : 0) - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    if (negative && value != 0) {
        return std::nullopt;
    }
    return value;
}

namespace {

std::string formatDouble(double value)
{
    const double magnitude = std::fabs(value);
    const bool plain = magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16);
    // Plain notation below 1e16 needs at most 16 integer digits plus the 17
    // significant digits of a fraction and its leading zeros.
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                                      plain ? std::chars_format::fixed : std::chars_format::scientific);
    return std::string(buffer, result.ptr);
}

std::string joinPath(const std::vector<std::string>& components)
{
    std::string joined;
    for (std::size_t i = 0; i < components.size(); ++i) {
        if (i > 0) {
            joined += '.';
        }
        joined += components[i];
    }
    return joined;
}

void collectPaths(const Json& value, std::vector<std::string>& path, std::vector<std::string>& out)
{
    if (value.is_object() && !value.empty()) {
        std::vector<const Json::object_t::value_type*> members;
        members.reserve(value.size());
        for (const auto& member : value.get_ref<const Json::object_t&>()) {
            members.push_back(&member);
        }
        // std::string compares bytes as unsigned char, and UTF-8 byte order
        // is code point order.
        std::sort(members.begin(), members.end(), [](const auto* a, const auto* b) { return a->first < b->first; });
        for (const auto* member : members) {
            path.push_back(member->first);
            collectPaths(member->second, path, out);
            path.pop_back();
        }
        return;
    }
    if (value.is_array() && !value.empty()) {
        std::size_t index = 0;
        for (const auto& element : value) {
            path.push_back(std::to_string(index++));
            collectPaths(element, path, out);
            path.pop_back();
        }
        return;
    }
    out.push_back(joinPath(path));
}

}  // namespace

std::optional<Json> parseJSONPayload(std::string_view payload)
{
    // A raw NUL is never valid in a JSON text, but nlohmann's lexer takes it
    // for the end of the input and would accept what comes before it.
    if (payload.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    try {
        PayloadBuilder builder;
        if (!Json::sax_parse(payload.begin(), payload.end(), &builder, nlohmann::detail::input_format_t::json,
                             /*strict=*/true, /*ignore_comments=*/false)) {
            return std::nullopt;
        }
        Json root = builder.take();
        if (!root.is_object() && !root.is_array()) {
            return std::nullopt;
        }
        return root;
    } catch (...) {
        // Out of memory on a huge payload: it is simply not usable.
        return std::nullopt;
    }
}

std::vector<std::string> splitJSONPath(std::string_view path)
{
    std::vector<std::string> components;
    while (!path.empty()) {
        const std::size_t dot = path.find('.');
        const std::string_view piece = path.substr(0, dot);
        if (!piece.empty()) {
            components.emplace_back(piece);
        }
        if (dot == std::string_view::npos) {
            break;
        }
        path.remove_prefix(dot + 1);
    }
    return components;
}

const Json* lookupJSONValue(const Json& value, const std::vector<std::string>& components)
{
    const Json* current = &value;
    for (const std::string& component : components) {
        if (current->is_object()) {
            const auto it = current->find(component);
            if (it != current->end()) {
                current = &*it;
                continue;
            }
            return nullptr;
        }
        if (current->is_array()) {
            const auto index = jsonArrayIndex(component);
            if (!index || *index >= current->size()) {
                return nullptr;
            }
            current = &(*current)[static_cast<std::size_t>(*index)];
            continue;
        }
        return nullptr;
    }
    return current;
}

std::optional<std::string> formatJSONValue(const Json& value)
{
    switch (value.type()) {
    case Json::value_t::string: return value.get_ref<const std::string&>();
    case Json::value_t::boolean: return value.get<bool>() ? "true" : "false";
    case Json::value_t::number_integer: return std::to_string(value.get<std::int64_t>());
    case Json::value_t::number_unsigned: return std::to_string(value.get<std::uint64_t>());
    case Json::value_t::number_float: return formatDouble(value.get<double>());
    case Json::value_t::null:
    case Json::value_t::object:
    case Json::value_t::array:
    case Json::value_t::binary:
    case Json::value_t::discarded: return std::nullopt;
    }
    return std::nullopt;
}

std::vector<std::string> jsonPaths(const Json& value, const std::vector<std::string>& prefix)
{
    std::vector<std::string> path = prefix;
    std::vector<std::string> out;
    collectPaths(value, path, out);
    return out;
}

std::vector<std::string> payloadJSONPaths(std::string_view payload)
{
    const auto root = parseJSONPayload(payload);
    if (!root) {
        return {};
    }
    return jsonPaths(*root, {});
}

std::optional<std::string> valueAtPath(const Json& root, std::string_view path)
{
    if (path.empty()) {
        return std::nullopt;
    }
    const Json* found = lookupJSONValue(root, splitJSONPath(path));
    if (found == nullptr) {
        return std::nullopt;
    }
    return formatJSONValue(*found);
}

}  // namespace telvane

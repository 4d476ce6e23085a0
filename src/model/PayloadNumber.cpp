#include "model/PayloadNumber.h"

#include "model/JsonPath.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <charconv>
#include <cstddef>
#include <limits>
#include <system_error>

namespace telvane {

namespace {

using Byte = unsigned char;

constexpr std::uint64_t kPastEnd = std::numeric_limits<std::uint64_t>::max();
// Saturates the written exponent: beyond this, every nonzero number is out
// of the double range one way or the other anyway.
constexpr std::int64_t kExponentLimit = 1'000'000'000;

bool isDigit(Byte c)
{
    return c >= '0' && c <= '9';
}

int hexValue(Byte c)
{
    if (isDigit(c)) {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Compares the decoded bytes of a string with a wanted key as they come.
class KeyMatch {
public:
    explicit KeyMatch(const std::string* wanted) : wanted_(wanted), same_(wanted != nullptr) {}

    void feed(Byte byte)
    {
        if (same_) {
            same_ = position_ < wanted_->size() && static_cast<Byte>((*wanted_)[position_]) == byte;
            ++position_;
        }
    }
    void feedCodePoint(std::uint32_t cp)
    {
        if (cp < 0x80) {
            feed(static_cast<Byte>(cp));
        } else if (cp < 0x800) {
            feed(static_cast<Byte>(0xC0 | (cp >> 6)));
            feed(static_cast<Byte>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            feed(static_cast<Byte>(0xE0 | (cp >> 12)));
            feed(static_cast<Byte>(0x80 | ((cp >> 6) & 0x3F)));
            feed(static_cast<Byte>(0x80 | (cp & 0x3F)));
        } else {
            feed(static_cast<Byte>(0xF0 | (cp >> 18)));
            feed(static_cast<Byte>(0x80 | ((cp >> 12) & 0x3F)));
            feed(static_cast<Byte>(0x80 | ((cp >> 6) & 0x3F)));
            feed(static_cast<Byte>(0x80 | (cp & 0x3F)));
        }
    }
    [[nodiscard]] bool matched() const { return same_ && position_ == wanted_->size(); }

private:
    const std::string* wanted_;
    std::size_t position_ = 0;
    bool same_;
};

// One pass over the payload. The containers open on the way down are
// tracked by depth; those from the top down to `onPath_` are the ones the
// path leads through, and only in the deepest of them can a member or an
// element be the next step. A later duplicate of a key on the path
// replaces what was found below the earlier one, as the parsed document's
// last-wins rule does.
class Scanner {
public:
    Scanner(std::string_view payload, const std::vector<PayloadPath::Component>& components)
        : p_(reinterpret_cast<const Byte*>(payload.data())),
          end_(p_ + payload.size()),
          components_(components)
    {}

    PayloadNumber document()
    {
        // The parser behind parseJSONPayload skips a byte order mark.
        if (p_ != end_ && *p_ == 0xEF) {
            if (end_ - p_ < 3 || p_[1] != 0xBB || p_[2] != 0xBF) {
                return {};
            }
            p_ += 3;
        }
        skipWhitespace();
        if (p_ == end_ || (*p_ != '{' && *p_ != '[')) {
            return {};
        }
        if (!containers()) {
            return {};
        }
        skipWhitespace();
        return p_ == end_ ? found_ : PayloadNumber{};
    }

    PayloadNumber bareNumber()
    {
        skipWhitespace();
        if (p_ == end_ || !(*p_ == '-' || isDigit(*p_)) || !number(true)) {
            return {};
        }
        skipWhitespace();
        if (p_ != end_ || found_.kind != PayloadNumberKind::number) {
            return {};
        }
        return found_;
    }

private:
    enum class Role { off, descend, target };

    void skipWhitespace()
    {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) {
            ++p_;
        }
    }

    [[nodiscard]] std::size_t depthOfTarget() const { return components_.size(); }

    // From the top-level '{' or '[' to its closing bracket.
    bool containers()
    {
        Role role = components_.empty() ? Role::target : Role::descend;
        found_ = {PayloadNumberKind::noNumber, 0};
        for (;;) {
            skipWhitespace();
            if (p_ == end_) {
                return false;
            }
            if (role != Role::off) {
                found_ = {PayloadNumberKind::noNumber, 0};  // replaces whatever was found before
            }
            const Byte c = *p_;
            if (c == '{' || c == '[') {
                if (!open(c == '[', role)) {
                    return false;
                }
                if (p_ == end_ || *p_ != static_cast<Byte>(c == '[' ? ']' : '}')) {
                    if (!entryStart(role)) {
                        return false;
                    }
                    continue;
                }
                // Empty: the closing bracket ends it below.
            } else if (!scalar(c, role)) {
                return false;
            }
            switch (afterValue(role)) {
            case Next::entry: continue;
            case Next::end: return true;
            case Next::fail: return false;
            }
        }
    }

    bool open(bool isArray, Role role)
    {
        if (depth_ == static_cast<std::size_t>(kMaxPayloadDepth)) {
            return false;
        }
        ++p_;
        ++depth_;
        isArray_[depth_] = isArray;
        if (role == Role::descend) {
            onPath_ = depth_;
            count_ = 0;
        }
        skipWhitespace();
        return true;
    }

    bool scalar(Byte c, Role role)
    {
        if (c == '"') {
            return string(nullptr);
        }
        if (c == '-' || isDigit(c)) {
            return number(role == Role::target);
        }
        return literal();
    }

    enum class Next { entry, end, fail };

    // After a value: a comma and the start of the next entry, or the end of
    // one or more containers.
    Next afterValue(Role& role)
    {
        for (;;) {
            skipWhitespace();
            if (p_ == end_) {
                return Next::fail;
            }
            if (*p_ == ',') {
                ++p_;
                skipWhitespace();
                return entryStart(role) ? Next::entry : Next::fail;
            }
            if (*p_ != static_cast<Byte>(isArray_[depth_] ? ']' : '}')) {
                return Next::fail;
            }
            ++p_;
            if (!close()) {
                return Next::end;
            }
        }
    }

    // The start of a member (its key and colon) or an element, and the role
    // of its value.
    bool entryStart(Role& role)
    {
        const bool onPath = depth_ == onPath_;
        bool matches = false;
        if (isArray_[depth_]) {
            if (onPath) {
                const auto& index = components_[depth_ - 1].index;
                matches = index && *index == count_;
                count_ = count_ == kPastEnd ? kPastEnd : count_ + 1;
            }
        } else {
            if (p_ == end_ || *p_ != '"') {
                return false;
            }
            KeyMatch key(onPath ? &components_[depth_ - 1].key : nullptr);
            if (!string(&key)) {
                return false;
            }
            matches = key.matched();
            skipWhitespace();
            if (p_ == end_ || *p_ != ':') {
                return false;
            }
            ++p_;
        }
        if (!matches) {
            role = Role::off;
        } else {
            role = depth_ == depthOfTarget() ? Role::target : Role::descend;
        }
        return true;
    }

    // Leaves the innermost container; false when it was the top level.
    bool close()
    {
        if (depth_ == onPath_) {
            --onPath_;
            // An index is found once: no later element of the array above
            // can be the step again.
            count_ = kPastEnd;
        }
        --depth_;
        return depth_ > 0;
    }

    bool literal()
    {
        static constexpr std::array<std::string_view, 3> kWords{"true", "false", "null"};
        const std::string_view rest(reinterpret_cast<const char*>(p_), static_cast<std::size_t>(end_ - p_));
        const auto* word = std::ranges::find_if(kWords, [&](std::string_view w) { return rest.starts_with(w); });
        if (word == kWords.end()) {
            return false;
        }
        p_ += word->size();
        return true;
    }

    // A string from its opening quote, strictly: escapes, no control
    // characters, well-formed UTF-8 (no overlong forms, no surrogates).
    bool string(KeyMatch* key)
    {
        ++p_;
        while (p_ != end_) {
            const Byte c = *p_;
            if (c == '"') {
                ++p_;
                return true;
            }
            if (c == '\\') {
                if (!escape(key)) {
                    return false;
                }
                continue;
            }
            if (c < 0x20) {
                return false;
            }
            const int length = c < 0x80 ? 1 : sequenceLength();
            if (length == 0) {
                return false;
            }
            if (key != nullptr) {
                for (int i = 0; i < length; ++i) {
                    key->feed(p_[i]);
                }
            }
            p_ += length;
        }
        return false;
    }

    // The length of the UTF-8 sequence at p_ (its first byte 0x80 or more),
    // 0 when it is not well-formed.
    [[nodiscard]] int sequenceLength() const
    {
        const Byte c = *p_;
        const auto available = end_ - p_;
        const auto inRange = [&](int i, Byte low, Byte high) { return i < available && p_[i] >= low && p_[i] <= high; };
        if (c >= 0xC2 && c <= 0xDF) {
            return inRange(1, 0x80, 0xBF) ? 2 : 0;
        }
        if (c >= 0xE0 && c <= 0xEF) {
            const Byte low = c == 0xE0 ? 0xA0 : 0x80;
            const Byte high = c == 0xED ? 0x9F : 0xBF;
            return inRange(1, low, high) && inRange(2, 0x80, 0xBF) ? 3 : 0;
        }
        if (c >= 0xF0 && c <= 0xF4) {
            const Byte low = c == 0xF0 ? 0x90 : 0x80;
            const Byte high = c == 0xF4 ? 0x8F : 0xBF;
            return inRange(1, low, high) && inRange(2, 0x80, 0xBF) && inRange(3, 0x80, 0xBF) ? 4 : 0;
        }
        return 0;
    }

    // Four hex digits after "\u"; -1 when they are not.
    std::int32_t hex4()
    {
        if (end_ - p_ < 4) {
            return -1;
        }
        std::int32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = hexValue(p_[i]);
            if (digit < 0) {
                return -1;
            }
            value = value * 16 + digit;
        }
        p_ += 4;
        return value;
    }

    bool escape(KeyMatch* key)
    {
        ++p_;
        if (p_ == end_) {
            return false;
        }
        const Byte c = *p_++;
        Byte decoded = 0;
        switch (c) {
        case '"':
        case '\\':
        case '/': decoded = c; break;
        case 'b': decoded = '\b'; break;
        case 'f': decoded = '\f'; break;
        case 'n': decoded = '\n'; break;
        case 'r': decoded = '\r'; break;
        case 't': decoded = '\t'; break;
        case 'u': return unicodeEscape(key);
        default: return false;
        }
        if (key != nullptr) {
            key->feed(decoded);
        }
        return true;
    }

    bool unicodeEscape(KeyMatch* key)
    {
        const std::int32_t first = hex4();
        if (first < 0 || (first >= 0xDC00 && first <= 0xDFFF)) {
            return false;
        }
        auto cp = static_cast<std::uint32_t>(first);
        if (first >= 0xD800 && first <= 0xDBFF) {
            if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') {
                return false;
            }
            p_ += 2;
            const std::int32_t second = hex4();
            if (second < 0xDC00 || second > 0xDFFF) {
                return false;
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<std::uint32_t>(second) - 0xDC00);
        }
        if (key != nullptr) {
            key->feedCodePoint(cp);
        }
        return true;
    }

    // A number from its first character. Every number is checked against
    // the double range; only a wanted one is converted.
    bool number(bool wanted)
    {
        const Byte* start = p_;
        const bool negative = *p_ == '-';
        if (negative) {
            ++p_;
        }
        const Byte* digits = p_;
        if (p_ == end_ || !isDigit(*p_)) {
            return false;
        }
        if (*p_ == '0') {
            ++p_;
        } else {
            while (p_ != end_ && isDigit(*p_)) {
                ++p_;
            }
        }
        const Byte* integerEnd = p_;
        const Byte* fraction = nullptr;
        const Byte* fractionEnd = nullptr;
        if (p_ != end_ && *p_ == '.') {
            fraction = ++p_;
            if (!skipDigits()) {
                return false;
            }
            fractionEnd = p_;
        }
        std::int64_t exponent = 0;
        const bool hasExponent = p_ != end_ && (*p_ == 'e' || *p_ == 'E');
        if (hasExponent && !exponentPart(exponent)) {
            return false;
        }
        const std::string_view text(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p_ - start));
        if (fraction == nullptr && !hasExponent) {
            return integer(text, negative, static_cast<std::size_t>(integerEnd - digits), wanted);
        }
        // The decimal exponent of the first significant digit; all digits
        // zero is zero, whatever the exponent.
        std::int64_t magnitude = 0;
        if (*digits != '0') {
            magnitude = exponent + (integerEnd - digits) - 1;
        } else {
            const Byte* firstSignificant = fraction;
            while (firstSignificant != fractionEnd && *firstSignificant == '0') {
                ++firstSignificant;
            }
            if (firstSignificant == fractionEnd) {
                return found(wanted, negative ? -0.0 : 0.0);
            }
            magnitude = exponent - (firstSignificant - fraction) - 1;
        }
        // Below 1e308 a number is within the double range for sure; at or
        // above it the conversion tells.
        if (!wanted && magnitude < 308) {
            return true;
        }
        return converted(text, negative, magnitude, wanted);
    }

    // The exponent after the "e" at p_: its sign and digits, the value
    // saturating at kExponentLimit. False when no digit follows.
    bool exponentPart(std::int64_t& exponent)
    {
        ++p_;
        bool negativeExponent = false;
        if (p_ != end_ && (*p_ == '+' || *p_ == '-')) {
            negativeExponent = *p_ == '-';
            ++p_;
        }
        const Byte* exponentDigits = p_;
        if (!skipDigits()) {
            return false;
        }
        for (const Byte* d = exponentDigits; d != p_ && exponent < kExponentLimit; ++d) {
            exponent = exponent * 10 + (*d - '0');
        }
        exponent = negativeExponent ? -exponent : exponent;
        return true;
    }

    bool skipDigits()
    {
        const Byte* first = p_;
        while (p_ != end_ && isDigit(*p_)) {
            ++p_;
        }
        return p_ != first;
    }

    // Converts `text` as the parser's strtod does: correctly rounded, below
    // the range to zero, above it an error.
    bool converted(std::string_view text, bool negative, std::int64_t magnitude, bool wanted)
    {
        double value = 0;
        const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
        if (result.ec == std::errc::result_out_of_range) {
            if (magnitude >= 0) {
                return false;
            }
            value = negative ? -0.0 : 0.0;
        } else if (result.ec != std::errc()) {
            return false;
        }
        return found(wanted, value);
    }

    // An integer is a number within the 64-bit range (signed when negative,
    // unsigned otherwise); beyond it, it is text that must still be within
    // the double range.
    bool integer(std::string_view text, bool negative, std::size_t digitCount, bool wanted)
    {
        constexpr std::size_t kMaxUnsignedDigits = 20;
        if (digitCount <= kMaxUnsignedDigits) {
            std::uint64_t magnitude = 0;
            const auto digits = text.substr(negative ? 1 : 0);
            const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
            constexpr auto kMinMagnitude = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1;
            if (result.ec == std::errc() && (!negative || magnitude <= kMinMagnitude)) {
                if (!wanted) {
                    return true;
                }
                if (!negative) {
                    return found(true, static_cast<double>(magnitude));
                }
                const std::int64_t signedValue = magnitude == kMinMagnitude ? std::numeric_limits<std::int64_t>::min()
                                                                            : -static_cast<std::int64_t>(magnitude);
                return found(true, static_cast<double>(signedValue));
            }
        }
        // 10^308 is below the largest double: fewer digits always fit.
        if (digitCount <= 308) {
            return true;
        }
        double ignored = 0;
        return std::from_chars(text.data(), text.data() + text.size(), ignored).ec == std::errc();
    }

    bool found(bool wanted, double value)
    {
        if (wanted) {
            found_ = {PayloadNumberKind::number, value};
        }
        return true;
    }

    const Byte* p_;
    const Byte* end_;
    const std::vector<PayloadPath::Component>& components_;
    std::size_t depth_ = 0;
    std::size_t onPath_ = 0;
    std::uint64_t count_ = 0;  // elements seen in the array at onPath_
    std::bitset<kMaxPayloadDepth + 1> isArray_;
    PayloadNumber found_;
};

}  // namespace

PayloadPath::PayloadPath(std::string_view path)
{
    for (auto& component : splitJSONPath(path)) {
        auto index = jsonArrayIndex(component);
        components_.push_back({std::move(component), index});
    }
}

PayloadPath PayloadPath::wholePayload()
{
    PayloadPath path;
    path.isWholePayload_ = true;
    return path;
}

PayloadNumber findPayloadNumber(std::string_view payload, const PayloadPath& path)
{
    Scanner scanner(payload, path.components());
    return path.isWholePayload() ? scanner.bareNumber() : scanner.document();
}

}  // namespace telvane

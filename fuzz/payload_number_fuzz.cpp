// The history's payload scanner against the parsed document: for any payload
// and path, findPayloadNumber finds what parseJSONPayload and
// lookupJSONValue find (not JSON, no number, or the same number), and for a
// bare payload a number exactly when "[" payload "]" is an array of that one
// number.
//
// Input: one byte N, then the path (the next N bytes, or all that remain),
// then the payload.

#include "FuzzCheck.h"
#include "model/JsonPath.h"
#include "model/PayloadNumber.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace telvane {
namespace {

PayloadNumber numberOf(const Json* value)
{
    if (value == nullptr || !value->is_number()) {
        return {PayloadNumberKind::noNumber, 0};
    }
    return {PayloadNumberKind::number, value->get<double>()};
}

PayloadNumber viaDocument(std::string_view payload, std::string_view path)
{
    const auto root = parseJSONPayload(payload);
    if (!root) {
        return {};
    }
    return numberOf(lookupJSONValue(*root, splitJSONPath(path)));
}

PayloadNumber bareViaDocument(std::string_view payload)
{
    const auto root = parseJSONPayload("[" + std::string(payload) + "]");
    if (!root || root->size() != 1 || !(*root)[0].is_number()) {
        return {};
    }
    return numberOf(&(*root)[0]);
}

}  // namespace
}  // namespace telvane

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace telvane;
    if (size == 0) {
        return 0;
    }
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string_view path = input.substr(0, data[0]);
    const std::string_view payload = input.substr(path.size());

    FUZZ_CHECK(findPayloadNumber(payload, PayloadPath(path)) == viaDocument(payload, path));
    FUZZ_CHECK(findPayloadNumber(payload, PayloadPath::wholePayload()) == bareViaDocument(payload));
    return 0;
}

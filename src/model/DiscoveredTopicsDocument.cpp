#include "model/DiscoveredTopicsDocument.h"

#include "model/JsonText.h"

namespace telvane {

void DiscoveredTopicsDocument::append(std::string_view topic)
{
    if (count_ > 0) {
        open_.push_back(',');
    }
    appendJsonString(open_, topic);
    ++count_;
}

std::string DiscoveredTopicsDocument::text() const
{
    std::string text;
    text.reserve(open_.size() + 1);
    text.append(open_);
    text.push_back(']');
    return text;
}

}  // namespace telvane

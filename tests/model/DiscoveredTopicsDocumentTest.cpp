// The discovered topics grown a topic at a time: byte for byte the document
// the store writes for the same topics, and read back as their set.

#include "model/DiscoveredTopicsDocument.h"

#include "model/JsonText.h"
#include "model/SharedStore.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace telvane {
namespace {

TEST(DiscoveredTopicsDocumentTest, GrowsAsTheStoresArrayOfTopicsAndReadsBackAsTheirSet)
{
    const struct {
        const char* name;
        std::vector<std::string> topics;
        TopicSet readBack;
    } cases[] = {
        {"none", {}, {}},
        {"slashes escaped", {"a/b", "/", "c"}, {"a/b", "/", "c"}},
        {"quotes, backslashes, controls", {"q\"\\", "t\tn\n\x01"}, {"q\"\\", "t\tn\n\x01"}},
        {"multi-byte UTF-8", {"\xC3\xA9/\xF0\x9D\x84\x9E"}, {"\xC3\xA9/\xF0\x9D\x84\x9E"}},
        {"not UTF-8 reads back replaced", {"ok", "t\xFE"}, {"ok", "t\xEF\xBF\xBD"}},
    };
    test::TempDir dir;
    SharedStore store(dir.path() / "defaults.sqlite3");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DiscoveredTopicsDocument document;
        Json array = Json::array();
        EXPECT_EQ(document.text(), "[]");
        // Its text is taken after each topic, as between a writer's writes.
        for (const auto& topic : c.topics) {
            document.append(topic);
            array.push_back(topic);
            EXPECT_EQ(document.text(), encodeJsonDocument(array));
        }
        store.saveDiscoveredTopicsDocument(document);
        EXPECT_EQ(*store.loadDiscoveredTopics(), c.readBack);
    }
}

}  // namespace
}  // namespace telvane

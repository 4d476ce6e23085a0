// Shared store costs on a real SQLite file. Each store figure has a baseline
// from the same run: the raw SELECT of the same BLOB, parsing the same JSON
// document once, and the raw upsert of a document of the same size.

#include "model/DiscoveredTopicsDocument.h"
#include "model/JsonText.h"
#include "model/SharedStore.h"
#include "support/DiscoveredTopics.h"
#include "support/StoreFile.h"
#include "support/TempDir.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
using telvane::SharedStore;
using telvane::TopicSet;

constexpr std::size_t kMaxMessages = 50;

// A fresh database file, removed with its directory at the end.
class Scratch {
public:
    [[nodiscard]] fs::path database() const { return dir_.path() / "group.org.telvane.Telvane" / "defaults.sqlite3"; }

private:
    telvane::test::TempDir dir_;
};

// A second connection, standing in for the widget or another process, with
// the store's own durability setting.
class Connection : public telvane::test::StoreFile {
public:
    explicit Connection(const fs::path& path) : StoreFile(path) { exec("PRAGMA synchronous=NORMAL"); }
};

TopicSet makeTopics(std::int64_t count)
{
    TopicSet topics;
    for (std::int64_t i = 0; i < count; ++i) {
        topics.insert("site/building" + std::to_string(i % 7) + "/floor" + std::to_string(i % 13) + "/sensor"
                      + std::to_string(i) + "/temperature");
    }
    return topics;
}

// The document of `topics` plus one, so that writing it changes the page.
std::string encodedWithOneMore(const TopicSet& topics)
{
    telvane::Json json(topics);
    json.push_back("extra/topic");
    return telvane::encodeJsonDocument(json);
}

void setTopicCounters(benchmark::State& state, const std::string& blob)
{
    state.counters["topics"] = static_cast<double>(state.range(0));
    state.counters["bytes"] = static_cast<double>(blob.size());
}

// Every received PUBLISH loads the set; nothing changed since the last load.
void BM_LoadDiscoveredTopics_Cached(benchmark::State& state)
{
    Scratch scratch;
    SharedStore store(scratch.database());
    telvane::test::saveDiscoveredTopics(store, makeTopics(state.range(0)));
    (void)store.loadDiscoveredTopics();
    for (auto _ : state) {
        benchmark::DoNotOptimize(store.loadDiscoveredTopics());
    }
    setTopicCounters(state, Connection(scratch.database()).get("discoveredTopics"));
}

// Another connection wrote the document (one topic more or less) before each
// load. Rewriting identical bytes would not count: SQLite leaves the page
// untouched and the cached set is still right.
void BM_LoadDiscoveredTopics_AfterOtherWrite(benchmark::State& state)
{
    Scratch scratch;
    SharedStore store(scratch.database());
    auto topics = makeTopics(state.range(0));
    telvane::test::saveDiscoveredTopics(store, topics);
    Connection other(scratch.database());
    const std::string blobs[2] = {other.get("discoveredTopics"), encodedWithOneMore(topics)};
    std::size_t n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        other.put("discoveredTopics", blobs[++n % 2]);
        state.ResumeTiming();
        benchmark::DoNotOptimize(store.loadDiscoveredTopics());
    }
    setTopicCounters(state, blobs[0]);
}

// The delivery's write when a topic was new: the grown document.
void BM_SaveDiscoveredTopics(benchmark::State& state)
{
    Scratch scratch;
    SharedStore store(scratch.database());
    telvane::DiscoveredTopicsDocument document;
    for (const auto& topic : makeTopics(state.range(0))) {
        document.append(topic);
    }
    std::size_t n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        document.append("new/topic" + std::to_string(n++));
        state.ResumeTiming();
        store.saveDiscoveredTopicsDocument(document);
    }
    setTopicCounters(state, Connection(scratch.database()).get("discoveredTopics"));
}

// Baseline: the raw upsert of the same document, alternating two versions so
// that every write changes the page.
void BM_Baseline_UpsertTopicsBlob(benchmark::State& state)
{
    Scratch scratch;
    auto topics = makeTopics(state.range(0));
    SharedStore seeded(scratch.database());
    telvane::test::saveDiscoveredTopics(seeded, topics);
    Connection writer(scratch.database());
    const std::string blobs[2] = {writer.get("discoveredTopics"), encodedWithOneMore(topics)};
    std::size_t n = 0;
    for (auto _ : state) {
        writer.put("discoveredTopics", blobs[++n % 2]);
    }
    setTopicCounters(state, blobs[0]);
}

// Baseline: the raw SELECT of the same BLOB into memory.
void BM_Baseline_SelectTopicsBlob(benchmark::State& state)
{
    Scratch scratch;
    SharedStore seeded(scratch.database());
    telvane::test::saveDiscoveredTopics(seeded, makeTopics(state.range(0)));
    Connection reader(scratch.database());
    std::string blob;
    for (auto _ : state) {
        blob = reader.get("discoveredTopics");
        benchmark::DoNotOptimize(blob.data());
    }
    setTopicCounters(state, blob);
}

// Baseline: parsing the same JSON document once, without building the set.
void BM_Baseline_ParseTopicsJson(benchmark::State& state)
{
    const auto topics = makeTopics(state.range(0));
    const std::string text = telvane::encodeJsonDocument(telvane::Json(topics));
    for (auto _ : state) {
        benchmark::DoNotOptimize(telvane::parseJsonDocument(text));
    }
    setTopicCounters(state, text);
}

telvane::MQTTMessage makeMessage(std::size_t topic, double time)
{
    return {"site/building1/sensor" + std::to_string(topic) + "/state",
            R"({"temperature":21.5,"humidity":48,"battery":97,"linkquality":120})", telvane::Date{time}};
}

// The delivery of one message for a configured topic: the list is full, the
// topic is in it or new (the oldest entry drops out).
void BM_AppendMessage_FullList(benchmark::State& state)
{
    Scratch scratch;
    SharedStore store(scratch.database());
    for (std::size_t i = 0; i < kMaxMessages; ++i) {
        store.appendMessages({makeMessage(i, static_cast<double>(i))}, kMaxMessages);
    }
    std::size_t n = kMaxMessages;
    for (auto _ : state) {
        store.appendMessages({makeMessage(n % (kMaxMessages + 10), static_cast<double>(n))}, kMaxMessages);
        ++n;
    }
    state.counters["bytes"] = static_cast<double>(Connection(scratch.database()).get("messages").size());
}

// Baseline: the raw upsert of a full list's document (two versions in turn:
// SQLite skips rewriting identical bytes).
void BM_Baseline_UpsertMessagesBlob(benchmark::State& state)
{
    Scratch scratch;
    SharedStore store(scratch.database());
    for (std::size_t i = 0; i < kMaxMessages; ++i) {
        store.appendMessages({makeMessage(i, static_cast<double>(i))}, kMaxMessages);
    }
    Connection writer(scratch.database());
    const std::string first = writer.get("messages");
    store.appendMessages({makeMessage(kMaxMessages, 1000.0)}, kMaxMessages);
    const std::string blobs[2] = {first, writer.get("messages")};
    std::size_t n = 0;
    for (auto _ : state) {
        writer.put("messages", blobs[++n % 2]);
    }
    state.counters["bytes"] = static_cast<double>(first.size());
}

BENCHMARK(BM_Baseline_SelectTopicsBlob)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Baseline_ParseTopicsJson)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LoadDiscoveredTopics_Cached)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LoadDiscoveredTopics_AfterOtherWrite)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Baseline_UpsertTopicsBlob)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SaveDiscoveredTopics)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Baseline_UpsertMessagesBlob)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AppendMessage_FullList)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

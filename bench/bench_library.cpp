// Costs of the library and client work one run does: encode, decode, merge,
// print, and the vocabulary lookups. Budgets are in README.md.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "msg_request.h"
#include "tag_vocabulary.h"

namespace {

// About 60 mixed tags that fill most of one 1024-byte datagram.
VMsg* fullReply() {
    auto* m = new VMsg(MSG_GET);
    m->sequence = VMsg::LAST_SEGMENT;
    for (uint8_t i = 0; i < 12; ++i) {
        m->addTag(VTagFactory::createVTag(5));
        m->addTag(VTagFactory::createVTag(8, uint32_t(0xC0FFEE00u + i)));
        m->addTag(
            VTagFactory::createVTag(9, "Rack 1, row B, cabinet 7, shelf 3, the controller on the left"));
        m->addTag(VTagFactory::createVTag(51, 1.5f + i, false));
        m->addTag(VTagFactory::createVTag(6, uint8_t(i)));
    }
    return m;
}

void BM_Encode(benchmark::State& state) {
    std::unique_ptr<VMsg> m(fullReply());
    uint8_t buf[DATAGRAM_SIZE];
    for (auto _ : state) benchmark::DoNotOptimize(m->getMsg(buf, sizeof buf));
    state.counters["bytes"] = m->getMsg(buf, sizeof buf);
    state.counters["tags"] = double(m->tagCount());
}
BENCHMARK(BM_Encode);

void BM_Decode(benchmark::State& state) {
    std::unique_ptr<VMsg> m(fullReply());
    uint8_t buf[DATAGRAM_SIZE];
    uint16_t n = m->getMsg(buf, sizeof buf);
    for (auto _ : state) delete VMsg::parseMsg(buf, n);
}
BENCHMARK(BM_Decode);

void BM_MergeThreeSegments(benchmark::State& state) {
    std::unique_ptr<VMsg> segments[3] = {std::unique_ptr<VMsg>(fullReply()),
                                         std::unique_ptr<VMsg>(fullReply()),
                                         std::unique_ptr<VMsg>(fullReply())};
    for (auto _ : state) {
        VMsg reply(MSG_GET);
        for (auto& s : segments) reply.addSegment(s.get());
        benchmark::DoNotOptimize(reply.tagCount());
    }
}
BENCHMARK(BM_MergeThreeSegments);

void BM_PrintReply(benchmark::State& state) {
    std::unique_ptr<VMsg> m(fullReply());
    std::vector<char> memory(8192);
    FILE* sink = fmemopen(memory.data(), memory.size(), "w");
    MsgRequest printer(MSG_GET);
    printer.out = sink;
    for (auto _ : state) {
        rewind(sink);
        printer.printMsg(m.get());
    }
    fclose(sink);
}
BENCHMARK(BM_PrintReply);

void BM_TagByName(benchmark::State& state) {
    std::vector<std::string> names;
    for (const TagEntry& e : allTags()) names.emplace_back(e.name);
    for (std::string& n : names)
        for (size_t i = 0; i < n.size(); i += 2) n[i] = char(tolower(n[i]));  // mixed case
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(tagByName(names[i].c_str()));
        i = (i + 1) % names.size();
    }
}
BENCHMARK(BM_TagByName);

void BM_TagById(benchmark::State& state) {
    unsigned id = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(tagById(uint8_t(id)));
        id = (id + 37) & 0xFF;
    }
}
BENCHMARK(BM_TagById);

}  // namespace

BENCHMARK_MAIN();

// The engine's hot paths in bytes per second, on the generated workloads.
// Sizes stop at 10 MB here; the Python harness covers 100 MB.
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/candidate_score.hpp"
#include "engine/content_writer.hpp"
#include "engine/unicode_text.hpp"
#include "quillforge/codec.hpp"
#include "quillforge/engine.hpp"
#include "quillforge/json/detail/string_scan.hpp"
#include "quillforge/json/writer.hpp"
#include "workload.hpp"

namespace {

using qf::bench::Flavour;
using qf::bench::Workload;

const Workload& workload(Flavour flavour, std::size_t size) {
    static std::map<std::pair<Flavour, std::size_t>, Workload> cache;
    auto [it, added] = cache.try_emplace({flavour, size});
    if (added) {
        it->second = qf::bench::make_workload(flavour, size);
    }
    return it->second;
}

Flavour flavour_of(std::int64_t arg) {
    return arg == 0 ? Flavour::Ascii : arg == 1 ? Flavour::Mixed : Flavour::Escaped;
}

const Workload& workload_of(const benchmark::State& state) {
    return workload(flavour_of(state.range(0)), static_cast<std::size_t>(state.range(1)));
}

// Flavour 0 is ASCII, 1 mixed, 2 escape-heavy.
void sizes(benchmark::internal::Benchmark* bench) {
    bench->ArgNames({"flavour", "bytes"});
    for (int flavour : {0, 1, 2}) {
        for (std::int64_t size : {std::int64_t{1} << 10, std::int64_t{1} << 20, std::int64_t{10} << 20}) {
            bench->Args({flavour, size});
        }
    }
}

// All contents, as the trim, the word count and the writer see them.
std::size_t content_bytes(const qf::NarrativeLore& lore) {
    std::size_t bytes = 0;
    for (const auto& block : lore.blocks) {
        bytes += block.content.size();
    }
    return bytes;
}

template <const char* (*Find)(const char*, const char*)>
void BM_StringScan(benchmark::State& state) {
    const std::string& text = workload_of(state).json;
    for (auto _ : state) {
        const char* p = text.data();
        const char* const end = p + text.size();
        std::size_t stops = 0;
        while (p != end) {
            p = Find(p, end);
            if (p != end) {
                ++p;
                ++stops;
            }
        }
        benchmark::DoNotOptimize(stops);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_StringScan<qf::json::detail::find_string_stop>)->Name("StringScan")->Apply(sizes);
BENCHMARK(BM_StringScan<qf::json::detail::find_string_stop_portable>)->Name("StringScan/portable")->Apply(sizes);
BENCHMARK(BM_StringScan<qf::json::detail::find_string_stop_bytewise>)->Name("StringScan/bytewise")->Apply(sizes);

void BM_DecodeLore(benchmark::State& state) {
    const std::string& text = workload_of(state).json;
    for (auto _ : state) {
        auto lore = qf::decode_lore(text);
        benchmark::DoNotOptimize(lore);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_DecodeLore)->Apply(sizes);

void BM_DecodeConfig(benchmark::State& state) {
    const std::string_view text = qf::bench::kExampleConfig;
    for (auto _ : state) {
        auto config = qf::decode_config(text);
        benchmark::DoNotOptimize(config);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_DecodeConfig);

void BM_FloatText(benchmark::State& state) {
    // Scores as the engine writes them, and doubles of every magnitude.
    std::vector<double> values;
    for (int i = 0; i < 1024; ++i) {
        values.push_back(static_cast<double>((i * 7919) % 1000001) / 1000000.0);
        values.push_back(1.0 / (i + 3) * (i % 2 == 0 ? 1e-7 : 1e21));
    }
    std::size_t bytes = 0;
    char buffer[qf::json::kMaxFloatText];
    for (auto _ : state) {
        for (double value : values) {
            bytes += qf::json::format_f64(value, buffer);
            benchmark::DoNotOptimize(buffer);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * values.size()));
}
BENCHMARK(BM_FloatText);

void BM_Hash(benchmark::State& state) {
    const Workload& w = workload_of(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(qf::detail::candidate_hash(w.lore, 42));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * w.hashed.size()));
}
BENCHMARK(BM_Hash)->Apply(sizes);

void BM_TrimJoin(benchmark::State& state) {
    const qf::NarrativeLore& lore = workload_of(state).lore;
    for (auto _ : state) {
        std::string merged;
        merged.reserve(content_bytes(lore) + lore.blocks.size());
        for (std::size_t i = 0; i < lore.blocks.size(); ++i) {
            if (i != 0) {
                merged.push_back(' ');
            }
            merged.append(qf::detail::trim_white_space(lore.blocks[i].content));
        }
        benchmark::DoNotOptimize(merged);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * content_bytes(lore)));
}
BENCHMARK(BM_TrimJoin)->Apply(sizes);

void BM_WordCount(benchmark::State& state) {
    const qf::NarrativeLore& lore = workload_of(state).lore;
    for (auto _ : state) {
        std::uint64_t words = 0;
        for (const auto& block : lore.blocks) {
            words += qf::detail::count_words(block.content);
        }
        benchmark::DoNotOptimize(words);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * content_bytes(lore)));
}
BENCHMARK(BM_WordCount)->Apply(sizes);

void BM_WriteString(benchmark::State& state) {
    const qf::NarrativeLore& lore = workload_of(state).lore;
    std::string out;
    out.reserve(content_bytes(lore) * 2);
    for (auto _ : state) {
        out.clear();
        for (const auto& block : lore.blocks) {
            qf::json::write_string(out, block.content);
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * content_bytes(lore)));
}
BENCHMARK(BM_WriteString)->Apply(sizes);

void BM_EncodeBlock(benchmark::State& state) {
    const qf::NarrativeBlock block{"b1", "Hello"};
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string text = qf::encode_block(block);
        bytes += text.size();
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_EncodeBlock);

void BM_CreateBlockJson(benchmark::State& state) {
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto text = qf::create_block_json("b1", "Hello");
        bytes += text->size();
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_CreateBlockJson);

void BM_GenerateCandidateJson(benchmark::State& state) {
    const std::string& text = workload_of(state).json;
    for (auto _ : state) {
        auto candidate = qf::generate_candidate_json(text, qf::bench::kExampleConfig);
        benchmark::DoNotOptimize(candidate);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_GenerateCandidateJson)->Apply(sizes);

// The engine against its limit, side by side: each round times the bare
// seeded FNV-1a chain over exactly the bytes the candidate hash reads, then
// generate_candidate_json into storage lent to it (as the binding lends a str's;
// touched once beforehand, so that page faults are not counted), in alternating
// order. `ratio` is the chain's time over the engine's: 1.0 is the limit.
void BM_EngineVsChain(benchmark::State& state) {
    const Workload& w = workload_of(state);
    std::string storage(w.json.size() + qf::kCandidateTextRoom, '\0');
    using Clock = std::chrono::steady_clock;
    Clock::duration chain{};
    Clock::duration engine{};
    std::uint64_t sink = 0;
    const auto run_chain = [&] {
        const auto start = Clock::now();
        std::uint64_t hash = 0xcbf29ce484222325u ^ 42u;
        for (const char c : w.hashed) {
            hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
        }
        benchmark::DoNotOptimize(hash);
        sink += hash;
        chain += Clock::now() - start;
    };
    const auto run_engine = [&] {
        const auto start = Clock::now();
        qf::json::Output out(storage.data(), storage.size());
        auto done = qf::generate_candidate_json(w.json, qf::bench::kExampleConfig, out);
        benchmark::DoNotOptimize(done);
        sink += out.size();
        engine += Clock::now() - start;
    };
    bool chain_first = true;
    for (auto _ : state) {
        if (chain_first) {
            run_chain();
            run_engine();
        } else {
            run_engine();
            run_chain();
        }
        chain_first = !chain_first;
    }
    benchmark::DoNotOptimize(sink);
    const auto rounds = static_cast<double>(state.iterations());
    state.counters["chain_us"] = std::chrono::duration<double, std::micro>(chain).count() / rounds;
    state.counters["engine_us"] = std::chrono::duration<double, std::micro>(engine).count() / rounds;
    state.counters["ratio"] = std::chrono::duration<double>(chain) / std::chrono::duration<double>(engine);
}
BENCHMARK(BM_EngineVsChain)
    ->ArgNames({"flavour", "bytes"})
    ->Args({0, 10 << 20})
    ->Args({1, 10 << 20})
    ->Args({2, 10 << 20});

// The limit of the content loop alone: the same hash over the same bytes, with
// each content's string walked by the one-pass content writer straight from
// its place in the lore's text (found beforehand) and each block id hashed, but
// none of the JSON structure read. Against the bare chain as above; what this
// loses to the chain is the loop's own, the rest of EngineVsChain's gap is
// the structure between contents.
void BM_ContentLoopVsChain(benchmark::State& state) {
    const Workload& w = workload_of(state);
    struct Block {
        std::string_view id;
        std::size_t content;  // offset of the content's first byte in the text
    };
    std::vector<Block> blocks;
    constexpr std::string_view kContent = R"(","content":")";
    for (std::size_t at = w.json.find(kContent); at != std::string::npos; at = w.json.find(kContent, at + 1)) {
        const std::size_t id_start = w.json.rfind('"', at - 1) + 1;
        blocks.push_back({std::string_view(w.json).substr(id_start, at - id_start), at + kContent.size()});
    }
    std::string storage(w.json.size() + qf::kCandidateTextRoom, '\0');
    using Clock = std::chrono::steady_clock;
    Clock::duration chain{};
    Clock::duration loop{};
    std::uint64_t sink = 0;
    const auto run_chain = [&] {
        const auto start = Clock::now();
        std::uint64_t hash = 0xcbf29ce484222325u ^ 42u;
        for (const char c : w.hashed) {
            hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
        }
        benchmark::DoNotOptimize(hash);
        sink += hash;
        chain += Clock::now() - start;
    };
    const auto run_loop = [&] {
        const auto start = Clock::now();
        std::uint64_t hash = 0xcbf29ce484222325u ^ 42u;
        hash = qf::detail::fnv1a(hash, w.lore.id.data(), w.lore.id.size());
        hash = qf::detail::fnv1a(hash, w.lore.title.data(), w.lore.title.size());
        char* out = storage.data();
        for (const Block& block : blocks) {
            hash = qf::detail::fnv1a(hash, block.id.data(), block.id.size());
            qf::json::Reader reader(std::string_view(w.json).substr(block.content));
            qf::detail::ContentWriter writer(hash, out);
            if (!reader.read_string_pieces(writer)) {
                state.SkipWithError("a content did not read");
                return;
            }
            out = writer.finish();
            *out++ = ' ';
            hash = writer.hash();
        }
        benchmark::DoNotOptimize(hash);
        sink += hash + static_cast<std::uint64_t>(out - storage.data());
        loop += Clock::now() - start;
    };
    bool chain_first = true;
    for (auto _ : state) {
        if (chain_first) {
            run_chain();
            run_loop();
        } else {
            run_loop();
            run_chain();
        }
        chain_first = !chain_first;
    }
    benchmark::DoNotOptimize(sink);
    state.counters["ratio"] = std::chrono::duration<double>(chain) / std::chrono::duration<double>(loop);
}
BENCHMARK(BM_ContentLoopVsChain)
    ->ArgNames({"flavour", "bytes"})
    ->Args({0, 10 << 20})
    ->Args({1, 10 << 20})
    ->Args({2, 10 << 20});

void BM_RenderLoreSummaryJson(benchmark::State& state) {
    const std::string& text = workload_of(state).json;
    for (auto _ : state) {
        auto summary = qf::render_lore_summary_json(text);
        benchmark::DoNotOptimize(summary);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_RenderLoreSummaryJson)->Apply(sizes);

void BM_Example(benchmark::State& state) {
    const std::string_view lore = qf::bench::kExampleLore;
    for (auto _ : state) {
        auto candidate = qf::generate_candidate_json(lore, qf::bench::kExampleConfig);
        benchmark::DoNotOptimize(candidate);
    }
    state.SetBytesProcessed(
        static_cast<std::int64_t>(state.iterations() * (lore.size() + sizeof qf::bench::kExampleConfig - 1)));
}
BENCHMARK(BM_Example)->Name("GenerateCandidateJson/example");

// The same into stack storage lent to the Output, as the binding runs small calls.
void BM_ExampleLent(benchmark::State& state) {
    const std::string_view lore = qf::bench::kExampleLore;
    char storage[4096];
    for (auto _ : state) {
        qf::json::Output out(storage, sizeof storage);
        auto done = qf::generate_candidate_json(lore, qf::bench::kExampleConfig, out);
        benchmark::DoNotOptimize(done);
        benchmark::DoNotOptimize(storage);
    }
    state.SetBytesProcessed(
        static_cast<std::int64_t>(state.iterations() * (lore.size() + sizeof qf::bench::kExampleConfig - 1)));
}
BENCHMARK(BM_ExampleLent)->Name("GenerateCandidateJson/example/lent");

}  // namespace

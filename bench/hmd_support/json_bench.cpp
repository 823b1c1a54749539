// JSON parse throughput in MB/s: the library's reader beside nlohmann-json on the same
// documents in the same run, with the ratio printed after the table. The documents are made
// here, deterministically: a large profile file, an array of numbers, text with escapes, and
// deep but allowed nesting. Rates are per processor second, so a busy machine disturbs them
// less; quote the medians of --benchmark_repetitions=5.
#include <benchmark/benchmark.h>

#include "hmd/support/json.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

using Visor::JSON;

namespace {

std::string ProfileFile(int profiles) {
    std::string text = "{\n\t\"Visor Profile Version\":\t1,\n\t\"CurrentProfile\":\t\"user0\",\n"
                       "\t\"ProfileCount\":\t" +
                       std::to_string(profiles);
    static const char* const genders[] = {"Male", "Female", "Unspecified"};
    for (int i = 0; i < profiles; ++i) {
        char member[512];
        std::snprintf(member, sizeof member,
                      ",\n\t\"Profile%d\":\t{\n\t\t\"Name\":\t\"user%d\",\n\t\t\"Gender\":\t\"%s\","
                      "\n\t\t\"PlayerHeight\":\t%.6f,\n\t\t\"IPD\":\t%.6f,\n\t\t\"VisorOne\":\t{\n"
                      "\t\t\t\"EyeCup\":\t\"%c\",\n\t\t\t\"LL\":\t%d,\n\t\t\t\"LR\":\t%d,\n"
                      "\t\t\t\"RL\":\t%d,\n\t\t\t\"RR\":\t%d\n\t\t}\n\t}",
                      i, i, genders[i % 3], 1.5 + (i % 50) * 0.01, 0.058 + (i % 13) * 0.001,
                      "ABC"[i % 3], i % 7, -(i % 5), i % 11, -(i % 3));
        text += member;
    }
    return text + "\n}";
}

std::string Numbers(int count) {
    std::string text = "[";
    unsigned state = 12345;
    for (int i = 0; i < count; ++i) {
        state = state * 1103515245u + 12345u;
        char number[64];
        switch (i % 3) {
        case 0:
            std::snprintf(number, sizeof number, "%d", int(state >> 8) - (1 << 22));
            break;
        case 1:
            std::snprintf(number, sizeof number, "%.9g", double(state) / 4096.0);
            break;
        default:
            std::snprintf(number, sizeof number, "%.15e", double(state) * 1e-12);
            break;
        }
        text += (i ? "," : "");
        text += number;
    }
    return text + "]";
}

std::string Strings(int count) {
    std::string text = "[";
    for (int i = 0; i < count; ++i) {
        text += i ? ",\"" : "\"";
        text += "plain text of some length, line " + std::to_string(i) +
                "\\n\\t\\\"quoted\\\" caf\\u00e9 \\ud83d\\ude00 \xC3\xA9t\xC3\xA9 done\"";
    }
    return text + "]";
}

// Arrays inside objects, 100 levels down (within the reader's depth bound), many times over.
std::string Nested(int copies) {
    std::string one;
    for (int i = 0; i < 50; ++i)
        one += "{\"k\":[";
    one += "1";
    for (int i = 0; i < 50; ++i)
        one += "]}";
    std::string text = "[";
    for (int i = 0; i < copies; ++i)
        text += (i ? "," : "") + one;
    return text + "]";
}

const std::vector<std::pair<const char*, std::string>>& Documents() {
    static const std::vector<std::pair<const char*, std::string>> documents = {
        {"profiles", ProfileFile(2000)},
        {"numbers", Numbers(100000)},
        {"strings", Strings(20000)},
        {"nested", Nested(2000)},
    };
    return documents;
}

void VisorParse(benchmark::State& state) {
    const std::string& text = Documents()[size_t(state.range(0))].second;
    for (auto _ : state) {
        JSON* root = JSON::Parse(text.c_str());
        if (!root) {
            state.SkipWithError("the document did not parse");
            break;
        }
        benchmark::DoNotOptimize(root);
        root->Release();
    }
    state.SetBytesProcessed(state.iterations() * int64_t(text.size()));
    state.SetLabel(Documents()[size_t(state.range(0))].first);
}

// nlohmann's default object is a sorted map and loses member order, which the profile store
// depends on; its ordered variant is the like-for-like comparison, so both are measured.
template <typename Json> void ParseWith(benchmark::State& state) {
    const std::string& text = Documents()[size_t(state.range(0))].second;
    for (auto _ : state) {
        Json root = Json::parse(text, nullptr, false);
        if (root.is_discarded()) {
            state.SkipWithError("the document did not parse");
            break;
        }
        benchmark::DoNotOptimize(root);
    }
    state.SetBytesProcessed(state.iterations() * int64_t(text.size()));
    state.SetLabel(Documents()[size_t(state.range(0))].first);
}

BENCHMARK(VisorParse)->DenseRange(0, 3)->MinTime(1.0);
void NlohmannParse(benchmark::State& state) {
    ParseWith<nlohmann::json>(state);
}

void NlohmannOrderedParse(benchmark::State& state) {
    ParseWith<nlohmann::ordered_json>(state);
}

BENCHMARK(NlohmannParse)->DenseRange(0, 3)->MinTime(1.0);
BENCHMARK(NlohmannOrderedParse)->DenseRange(0, 3)->MinTime(1.0);

// The console table plus, at the end, our reader's throughput over each nlohmann reader's on
// every document (above 1: ours is faster).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal, so that saved output stays plain text.
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        // With repetitions the median of each benchmark is taken, else its single run.
        for (const Run& run : runs) {
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.error_occurred || (run.run_type != Run::RT_Iteration && !median))
                continue;
            auto found = run.counters.find("bytes_per_second");
            if (found == run.counters.end())
                continue;
            auto& rate = Rates[run.report_label][run.run_name.function_name];
            if (median || !rate.Median)
                rate = {double(found->second) / 1e6, median};
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nJSON parse throughput (MB/s, 10^6 bytes per processor second) and ratio "
                    "of the library's reader\n");
        std::printf("%-10s %10s %10s %10s %12s %12s\n", "document", "Visor", "nlohmann", "ordered",
                    "Visor/nl", "Visor/ord");
        for (auto& entry : Rates) {
            auto& r = entry.second;
            double ours = r["VisorParse"].MBs, theirs = r["NlohmannParse"].MBs,
                   ordered = r["NlohmannOrderedParse"].MBs;
            std::printf("%-10s %10.1f %10.1f %10.1f %12.2f %12.2f\n", entry.first.c_str(), ours,
                        theirs, ordered, theirs > 0 ? ours / theirs : 0.0,
                        ordered > 0 ? ours / ordered : 0.0);
        }
        for (auto& entry : Documents())
            std::printf("%s: %zu bytes\n", entry.first, entry.second.size());
    }

private:
    struct Rate {
        double MBs = 0; // 10^6 bytes per second of processor time
        bool Median = false;
    };
    std::map<std::string, std::map<std::string, Rate>> Rates;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

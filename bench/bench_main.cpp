// Runs the benchmarks with a default minimum time of 0.2 s each (a --benchmark_min_time given on
// the command line wins) and exits with 1 when any benchmark reported a wrong result.
#include <benchmark/benchmark.h>

#include <vector>

namespace {
class FailureCountingReporter : public benchmark::ConsoleReporter {
public:
    using benchmark::ConsoleReporter::ConsoleReporter;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.error_occurred) ++failures;
        benchmark::ConsoleReporter::ReportRuns(runs);
    }
    int failures = 0;
};
}  // namespace

int main(int argc, char** argv) {
    char default_min_time[] = "--benchmark_min_time=0.2";
    std::vector<char*> args(argv, argv + argc);
    args.insert(args.begin() + (argc > 0 ? 1 : 0), default_min_time);
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    FailureCountingReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return reporter.failures == 0 ? 0 : 1;
}

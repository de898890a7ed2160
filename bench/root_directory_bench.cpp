// One catalog + lookup + type + uncatalog cycle in the root directory, on
// tmpfs, beside 10, 1,000 and 10,000 other entries.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "rtkernel/kernel.h"

namespace {

// The kernel opens its root directory once per process, so every entry count
// shares one directory on tmpfs and the others are added as the count grows.
std::string RuntimeOnTmpfs() {
    static const std::string runtime = [] {
        std::string pattern = std::filesystem::exists("/dev/shm") ? "/dev/shm/zorvandelith-bench-XXXXXX"
                                                                  : "/tmp/zorvandelith-bench-XXXXXX";
        return std::string(mkdtemp(pattern.data()));
    }();
    return runtime;
}

void FillOthers(int count) {
    static int filled = 0;
    const Handle root = GetRtThreadHandles(3);
    const Handle self = GetRtThreadHandles(1);
    for (; filled < count; ++filled) {
        CatalogRtHandle(root, self, ("Other" + std::to_string(filled)).c_str());
    }
}

void CatalogLookupTypeUncatalog(benchmark::State& state) {
    setenv("XDG_RUNTIME_DIR", RuntimeOnTmpfs().c_str(), 1);
    FillOthers(static_cast<int>(state.range(0)));
    const Handle root = GetRtThreadHandles(3);
    const Handle self = GetRtThreadHandles(1);
    for (auto _ : state) {
        if (!CatalogRtHandle(root, self, "Zorvandelith")) {
            state.SkipWithError("catalog failed");
            break;
        }
        const Handle found = LookupRtHandle(root, "Zorvandelith", 0);
        benchmark::DoNotOptimize(GetRtHandleType(found));
        if (!UncatalogRtHandle(root, "Zorvandelith")) {
            state.SkipWithError("uncatalog failed");
            break;
        }
    }
}

BENCHMARK(CatalogLookupTypeUncatalog)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(RuntimeOnTmpfs());
    return 0;
}

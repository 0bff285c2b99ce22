// What packing costs against its two unavoidable parts, measured in one run on
// the same bytes: copying the folder into the content root, and CRC-32 of the
// bytes in memory on one core. Packing hashes the copies on every core, so its
// time should approach the copy plus the CRC-32 time divided by the cores.
//
//   talvane_pack_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "engine/manifest/Crc32.h"
#include "tools/talvane-pack/PackageBuilder.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kFileSize = 64u << 20;
constexpr int kFiles = 4;

// The input folder, made once per process and removed at exit.
const fs::path& Input() {
    static const fs::path folder = [] {
        std::string pattern = (fs::temp_directory_path() / "talvane-pack-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        std::mt19937_64 random(5);
        std::string bytes(kFileSize, '\0');
        for (std::size_t i = 0; i + 8 <= bytes.size(); i += 8) {
            const std::uint64_t value = random();
            std::memcpy(&bytes[i], &value, 8);
        }
        fs::create_directories(fs::path(pattern) / "in");
        for (int f = 0; f < kFiles; ++f) {
            bytes[0] = static_cast<char>(f);
            std::ofstream(fs::path(pattern) / "in" / ("part" + std::to_string(f) + ".bin"), std::ios::binary) << bytes;
        }
        std::atexit([] { fs::remove_all(Input().parent_path()); });
        return fs::path(pattern) / "in";
    }();
    return folder;
}

fs::path Output() { return Input().parent_path() / "out"; }

void Crc32InMemory(benchmark::State& state) {
    std::string bytes(kFileSize, '\x5a');
    std::uint32_t sum = 0;
    for (auto _ : state) {
        sum ^= tvl::Crc32(bytes.data(), bytes.size());
    }
    benchmark::DoNotOptimize(sum);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(Crc32InMemory)->Unit(benchmark::kMillisecond);

void CopyFolder(benchmark::State& state) {
    Input();
    for (auto _ : state) {
        fs::remove_all(Output());
        fs::create_directories(Output());
        for (const auto& entry : fs::directory_iterator(Input())) {
            fs::copy_file(entry.path(), Output() / entry.path().filename());
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize * kFiles));
}
BENCHMARK(CopyFolder)->Unit(benchmark::kMillisecond)->UseRealTime();

void PackFolder(benchmark::State& state) {
    tvl::pack::PackageOptions options;
    options.input = Input().string();
    options.output = Output().string();
    options.partnerId = "partner";
    options.packageId = "pkg";
    options.versionId = "1";
    options.name = "Bench";
    options.threads = static_cast<unsigned>(state.range(0));
    for (auto _ : state) {
        fs::remove_all(Output());
        tvl::pack::BuildPackage(options);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize * kFiles));
}
BENCHMARK(PackFolder)
    ->Arg(1)
    ->Arg(static_cast<int>(std::max(1u, std::thread::hardware_concurrency())))
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

// Writing a file chunk by chunk through views and checking each chunk, the way
// a download does, and checking chunks already on disk, the way a resumed or
// verified transfer does, against plain pwrite and pread of the same bytes in
// the same run. The ratios printed at the end are the figures to
// compare between machines; absolute rates depend on the disk and the VM.
//
//   talvane_file_bench [--benchmark_filter=...] [TALVANE_BENCH_DIR=folder]

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/file/MemoryMappedFileData.h"
#include "engine/file/PosixSharedFileFactory.h"
#include "engine/file/SharedFile.h"
#include "engine/manifest/Crc32.h"

namespace {

using tvl::MemoryMappedFileData;
using tvl::OpenMode;

constexpr std::uint64_t kFileSize = 1ull << 30;
// HTTP bodies arrive in pieces of this size.
constexpr std::size_t kPieceSize = 16 * 1024;

// The benchmark file, allocated once and shared by every case.
class BenchFile {
  public:
    BenchFile() {
        const char* folder = std::getenv("TALVANE_BENCH_DIR");
        std::string pattern =
            (std::filesystem::path(folder != nullptr ? folder
                                                     : std::filesystem::temp_directory_path().c_str()) /
             "talvane-bench-XXXXXX")
                .string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        folder_ = pattern;
        file_ = factory_.Open(folder_, "bench.bin", OpenMode::CreateNew, true, 0, kFileSize - 1);
        file_->Allocate(kFileSize);
        descriptor_ = open((folder_ + "/bench.bin").c_str(), O_RDWR | O_CLOEXEC);
        source_.resize(64u << 20);  // the longest chunk measured
        std::mt19937_64 random(42);
        for (auto& byte : source_) {
            byte = static_cast<std::uint8_t>(random());
        }
        // The first pass over a fresh file pays for converting its reserved
        // blocks and filling the page cache; no case should carry that alone.
        for (std::uint64_t first = 0; first < kFileSize; first += source_.size()) {
            if (pwrite(descriptor_, source_.data(), source_.size(), static_cast<off_t>(first)) < 0) {
                std::perror("pwrite");
                std::exit(1);
            }
        }
    }
    ~BenchFile() {
        close(descriptor_);
        file_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    tvl::SharedFile& File() { return *file_; }
    int Descriptor() const { return descriptor_; }
    const std::uint8_t* Source() const { return source_.data(); }

  private:
    tvl::PosixSharedFileFactory factory_;
    std::string folder_;
    std::shared_ptr<tvl::SharedFile> file_;
    int descriptor_ = -1;
    std::vector<std::uint8_t> source_;
};

BenchFile& Bench() {
    static BenchFile bench;
    return bench;
}

void WriteThroughView(MemoryMappedFileData& view, const std::uint8_t* source, std::size_t size) {
    for (std::size_t done = 0; done < size; done += kPieceSize) {
        view.Write(source + done, std::min(kPieceSize, size - done));
    }
}

// A downloaded chunk: its body written through a view, then checked in the
// same view, as a chunk request and the check after it do.
void ViewDownload(benchmark::State& state) {
    const auto chunk = static_cast<std::size_t>(state.range(0));
    BenchFile& bench = Bench();
    std::uint32_t crcs = 0;
    for (auto _ : state) {
        for (std::uint64_t first = 0; first < kFileSize; first += chunk) {
            auto view = bench.File().Map(first, first + chunk - 1);
            WriteThroughView(*view, bench.Source(), chunk);
            crcs ^= view->Checksum();
        }
    }
    benchmark::DoNotOptimize(crcs);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

// A chunk already on disk (in the page cache): prefetched and checked, as a
// resumed or verified transfer does with every chunk.
void ViewVerify(benchmark::State& state) {
    const auto chunk = static_cast<std::size_t>(state.range(0));
    BenchFile& bench = Bench();
    std::uint32_t crcs = 0;
    for (auto _ : state) {
        for (std::uint64_t first = 0; first < kFileSize; first += chunk) {
            auto view = bench.File().Map(first, first + chunk - 1);
            view->Fetch();
            crcs ^= view->Checksum();
        }
    }
    benchmark::DoNotOptimize(crcs);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

void PwriteBaseline(benchmark::State& state) {
    const auto chunk = static_cast<std::size_t>(state.range(0));
    BenchFile& bench = Bench();
    for (auto _ : state) {
        for (std::uint64_t first = 0; first < kFileSize; first += chunk) {
            if (pwrite(bench.Descriptor(), bench.Source(), chunk, static_cast<off_t>(first)) !=
                static_cast<ssize_t>(chunk)) {
                state.SkipWithError("pwrite failed");
                return;
            }
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

// The checksum of every chunk read with pread into one buffer.
void PreadChecksumBaseline(benchmark::State& state) {
    const auto chunk = static_cast<std::size_t>(state.range(0));
    BenchFile& bench = Bench();
    std::vector<std::uint8_t> buffer(chunk, 1);
    std::uint32_t crcs = 0;
    for (auto _ : state) {
        for (std::uint64_t first = 0; first < kFileSize; first += chunk) {
            if (pread(bench.Descriptor(), buffer.data(), chunk, static_cast<off_t>(first)) !=
                static_cast<ssize_t>(chunk)) {
                state.SkipWithError("pread failed");
                return;
            }
            crcs ^= tvl::Crc32(buffer.data(), chunk);
        }
    }
    benchmark::DoNotOptimize(crcs);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

void ChunkSizes(benchmark::internal::Benchmark* benchmark) {
    benchmark->Arg(64 << 10)
        ->Arg(1 << 20)
        ->Arg(4 << 20)
        ->Arg(64 << 20)
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
}

BENCHMARK(PwriteBaseline)->Apply(ChunkSizes);
BENCHMARK(ViewDownload)->Apply(ChunkSizes);
BENCHMARK(PreadChecksumBaseline)->Apply(ChunkSizes);
BENCHMARK(ViewVerify)->Apply(ChunkSizes);

// Prints the console table as usual, then every case's rate as a ratio to the
// pwrite baselines of the same chunk size.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) {
                continue;
            }
            const std::string name = run.benchmark_name();
            const auto slash = name.find('/');
            const std::size_t chunk = std::stoul(name.substr(slash + 1));
            const double seconds =
                run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            rates_[chunk][name.substr(0, slash)] = static_cast<double>(kFileSize) / seconds;
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-10s %12s %12s %12s %12s %12s %12s\n", "chunk", "pwrite GB/s", "download", "ratio",
                    "pread+crc", "verify", "ratio");
        for (const auto& [chunk, rates] : rates_) {
            auto rate = [&rates](const char* name) {
                const auto found = rates.find(name);
                return found == rates.end() ? 0.0 : found->second;
            };
            const double pwrite = rate("PwriteBaseline");
            const double download = rate("ViewDownload");
            const double pread = rate("PreadChecksumBaseline");
            const double verify = rate("ViewVerify");
            std::printf("%-10s %12.2f %12.2f %12.2f %12.2f %12.2f %12.2f\n",
                        (std::to_string(chunk >> 10) + " KiB").c_str(), pwrite / 1e9, download / 1e9,
                        pwrite > 0 ? download / pwrite : 0.0, pread / 1e9, verify / 1e9,
                        pread > 0 ? verify / pread : 0.0);
        }
        std::printf(
            "(GB/s over 1 GiB of file per pass, in the page cache. download: bodies written through views in\n"
            " 16 KiB pieces and each chunk checked in its view, against plain pwrite; verify: chunks prefetched\n"
            " and checked through views, against pread into one buffer and CRC-32)\n");
    }

  private:
    std::map<std::size_t, std::map<std::string, double>> rates_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

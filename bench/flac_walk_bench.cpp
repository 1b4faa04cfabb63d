// Times the FLAC frame walk in process, without process start-up, in MB/s of
// FLAC input:
//
//   flac_walk_bench <file.flac> [--benchmark_... options]
//
// FlacWalk is the walk alone (metadata, then every frame into a point list);
// ProbeFlacEmptyCache is the whole probe against an empty cache folder, so it
// also stores the table.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "audio/flac.h"
#include "cache/seek_table_cache.h"
#include "platform/platform.h"

namespace {

std::string flacPath;

std::int64_t fileSizeOf(const std::string& path) {
    std::error_code error;
    auto size = std::filesystem::file_size(path, error);
    return error ? -1 : static_cast<std::int64_t>(size);
}

void FlacWalk(benchmark::State& state) {
    const std::int64_t size = fileSizeOf(flacPath);
    std::size_t frames = 0;
    for (auto _ : state) {
        trakmap::UniqueFile file(trakmap::platformOpenFile(flacPath.c_str(), trakmap::kOpenRead));
        auto decoder = std::make_unique<trakmap::FlacDecoder>();
        std::vector<trakmap::SeekPoint> points;
        points.reserve(3000);
        const auto end = static_cast<std::uint64_t>(size);
        if (file.get() == trakmap::kInvalidFile || !trakmap::initReader(decoder->reader, file.get()) || !trakmap::readFlacMetadata(*decoder) ||
            trakmap::walkFlacFrames(*decoder, end, end, &points).end != trakmap::FlacWalkEnd::audioEnd) {
            state.SkipWithError("the walk failed");
            return;
        }
        frames = points.size();
        benchmark::DoNotOptimize(points.data());
    }
    state.SetBytesProcessed(state.iterations() * size);
    state.counters["frames"] = static_cast<double>(frames);
}

void ProbeFlacEmptyCache(benchmark::State& state) {
    const std::int64_t size = fileSizeOf(flacPath);
    const std::filesystem::path root = std::filesystem::temp_directory_path() / "trakmap-walk-bench";
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root);
        trakmap::setSeekTableCacheRoot(root.native());
        trakmap::UniqueFile file(trakmap::platformOpenFile(flacPath.c_str(), trakmap::kOpenRead));
        state.ResumeTiming();
        trakmap::AudioInfoPtr info = trakmap::probeFlac(file.get()).info;
        if (!info) {
            state.SkipWithError("the probe failed");
            break;
        }
        benchmark::DoNotOptimize(info.get());
    }
    trakmap::setSeekTableCacheRoot(trakmap::PathString());
    std::filesystem::remove_all(root);
    state.SetBytesProcessed(state.iterations() * size);
}

}  // namespace

BENCHMARK(FlacWalk)->Unit(benchmark::kMillisecond);
BENCHMARK(ProbeFlacEmptyCache)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc != 2 || fileSizeOf(argv[1]) < 0) {
        std::fprintf(stderr, "usage: flac_walk_bench <file.flac> [--benchmark_... options]\n");
        return 2;
    }
    flacPath = argv[1];
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// Cost of the found list's thumbnails for a card of 12-megapixel camera pictures
// (4000 x 3000 JPEGs of about 4 MB, each with the 160 x 120 Exif preview that cameras
// write), made by the list's worker threads with the log on, as during a scan:
//  - CameraJpegs: AddFile of n files and the wait until every thumbnail is ready;
//  - PlainJpegs: the same pictures without an Exif preview (decoded at 1/8 size from
//    their DC coefficients alone), with ImageMagick's full-resolution colour (4:4:4) at
//    this quality;
//  - PhoneJpegs: the same without a preview, with colour at half resolution both ways
//    (4:2:0), as phones and most editors write them: a third less to decode;
//  - ...HiDpi: the same for a grid on a screen of device pixel ratio 2 (bitmaps of twice
//    the cell's width and height; the 160 x 120 preview still serves);
//  - Movies: ten-second 1080p H.264 MP4 clips (index at the end, one key frame in 250, as
//    ffmpeg writes them), their first key frame through FFmpeg;
//  - AddFileOnly: what AddFile costs the scan's thread (the workers' time excluded).
// The pictures are made once with ImageMagick and exiftool, the movie with ffmpeg, in a
// temporary folder and decoded over and over (from the page cache, as freshly carved
// files are).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/clogfile.h"
#include "recovery/cthumblist.h"

namespace {

constexpr int kPictures = 4;

// Processor time of the whole process (every worker thread), in ms: on a machine that
// others share, wall time alone says little.
double ProcessCpuMs()
{
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

struct Pictures {
    std::string folder;
    std::vector<std::string> camera;  // with an Exif preview
    std::vector<std::string> plain;   // without
    std::vector<std::string> phone;   // without, colour subsampled 4:2:0
    std::vector<std::string> movies;
    bool ok = false;

    Pictures()
    {
        char pattern[] = "/tmp/px3bench.XXXXXX";
        if (!::mkdtemp(pattern))
            return;
        folder = pattern;
        // One fractal picture (it compresses like a photograph, unlike a flat colour) and
        // mirrored copies of it.
        const std::string base = folder + "/base.jpg";
        if (!Sh("convert -size 4000x3000 plasma:fractal -quality 92 " + base))
            return;
        const char* variants[kPictures] = {"", "-flop", "-flip", "-rotate 180"};
        for (int i = 0; i < kPictures; ++i) {
            const std::string plainFile = folder + "/PLAIN_" + std::to_string(i) + ".JPG";
            const std::string cameraFile = folder + "/IMAGE_" + std::to_string(i) + ".JPG";
            const std::string preview = folder + "/thumb" + std::to_string(i) + ".jpg";
            const std::string phoneFile = folder + "/PHONE_" + std::to_string(i) + ".JPG";
            if (!Sh("convert " + base + " " + variants[i] + " -quality 92 " + plainFile)
                || !Sh("convert " + base + " " + variants[i] + " -sampling-factor 2x2 -quality 92 " + phoneFile)
                || !Sh("convert " + plainFile + " -thumbnail 160x120 " + preview)
                || !Sh("cp " + plainFile + " " + cameraFile)
                || !Sh("exiftool -q -overwrite_original '-ThumbnailImage<=" + preview + "' " + cameraFile))
                return;
            plain.push_back(plainFile);
            phone.push_back(phoneFile);
            camera.push_back(cameraFile);
        }
        const std::string movie = folder + "/MVI_0001.MP4";
        if (!Sh("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=s=1920x1080:r=30:d=10 -c:v libx264 -preset veryfast"
                " -pix_fmt yuv420p " + movie))
            return;
        movies.push_back(movie);
        Log().EnableFromCommandLine("LOG", "LOG");
        Log().Open(folder + "/PX3Log.txt");
        ok = true;
    }
    ~Pictures()
    {
        Log().Close();
        std::error_code ec;
        if (!folder.empty())
            std::filesystem::remove_all(folder, ec);
    }

    static bool Sh(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }
};

Pictures& Files()
{
    static Pictures pictures;
    return pictures;
}

enum class Kind { Camera, Plain, Phone, Movie };

void Thumbnails(benchmark::State& state, Kind kind, qreal pixelRatio = 1.0)
{
    Pictures& files = Files();
    if (!files.ok) {
        state.SkipWithError("could not make the pictures (convert, exiftool, ffmpeg)");
        return;
    }
    const auto& list = kind == Kind::Camera ? files.camera
                        : kind == Kind::Plain ? files.plain
                        : kind == Kind::Phone ? files.phone
                                              : files.movies;
    const auto n = size_t(state.range(0));
    size_t withBitmap = 0;
    double cpuMs = 0;
    CThumbParams params = CThumbParams::FoundList();
    params.PixelRatio = pixelRatio;
    for (auto _ : state) {
        const double cpuStart = ProcessCpuMs();
        CThumbList thumbs(params);
        for (size_t i = 0; i < n; ++i)
            thumbs.AddFile(list[i % list.size()]);
        thumbs.WaitForThumbnails();
        cpuMs += ProcessCpuMs() - cpuStart;
        state.PauseTiming();
        withBitmap = 0;
        // A movie's frame is 16:9 (94 x 53 in the cell), not the skin's stand-in.
        for (size_t i = 0; i < n; ++i)
            withBitmap += thumbs.GetAt(i)->HasThumbnail()
                && (kind != Kind::Movie || thumbs.GetAt(i)->GetPictureRect().size() == QSize(94, 53));
        state.ResumeTiming();
    }
    if (withBitmap != n)
        state.SkipWithError("a thumbnail was not made");
    state.SetItemsProcessed(int64_t(state.iterations() * n));
    // Processor time per thumbnail, all threads: 2 cores / this = the unloaded rate.
    state.counters["cpu_ms_per_thumb"] = cpuMs / double(state.iterations() * n);
}

void BM_CameraJpegs(benchmark::State& state) { Thumbnails(state, Kind::Camera); }
void BM_PlainJpegs(benchmark::State& state) { Thumbnails(state, Kind::Plain); }
void BM_PhoneJpegs(benchmark::State& state) { Thumbnails(state, Kind::Phone); }
void BM_CameraJpegsHiDpi(benchmark::State& state) { Thumbnails(state, Kind::Camera, 2.0); }
void BM_PlainJpegsHiDpi(benchmark::State& state) { Thumbnails(state, Kind::Plain, 2.0); }
void BM_Movies(benchmark::State& state) { Thumbnails(state, Kind::Movie); }

void BM_AddFileOnly(benchmark::State& state)
{
    Pictures& files = Files();
    if (!files.ok) {
        state.SkipWithError("could not make the pictures (convert, exiftool, ffmpeg)");
        return;
    }
    const auto n = size_t(state.range(0));
    for (auto _ : state) {
        CThumbList thumbs;
        for (size_t i = 0; i < n; ++i)
            thumbs.AddFile(files.camera[i % files.camera.size()]);
        state.PauseTiming();
        thumbs.WaitForThumbnails();
        thumbs.RemoveAll();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations() * n));
}

}  // namespace

BENCHMARK(BM_CameraJpegs)->Arg(1000)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainJpegs)->Arg(100)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PhoneJpegs)->Arg(100)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CameraJpegsHiDpi)->Arg(1000)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainJpegsHiDpi)->Arg(100)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Movies)->Arg(100)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AddFileOnly)->Arg(1000)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();

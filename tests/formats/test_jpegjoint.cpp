// Joints of fragmented JPEGs. Pictures are made at test time with ImageMagick (plasma
// clouds, 1600x1200: the smooth detail of a sky or a face, where a stranger's data hides
// best from the Huffman decoder), as a camera writes them (4:2:0, standard tables), in
// 4:2:2, with restart markers (written here with libjpeg, which ImageMagick cannot) and
// progressive. They are cut at 4 KiB cluster boundaries and continued by their own next
// cluster, another such picture's cluster, erased clusters or another file's start.
#include <gtest/gtest.h>

#include "formats/jpegjoint.h"
#include "libjpegencode.h"
#include "support/fixtures.h"

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint64_t kCluster = 4096;

// The offset just past the first SOS segment: where the entropy-coded data begins.
uint64_t EntropyStart(const Bytes& jpeg)
{
    size_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
        const size_t length = (size_t(jpeg[at + 2]) << 8) | jpeg[at + 3];
        if (jpeg[at + 1] == 0xDA)
            return at + 2 + length;
        at += 2 + length;
    }
    return 0;
}

// count cluster boundaries spread over the entropy-coded data, the first MCU rows left out
// (a joint there has no rows above it to be judged by).
std::vector<uint64_t> Joints(const Bytes& jpeg, int count)
{
    const uint64_t first = (EntropyStart(jpeg) / kCluster + 3) * kCluster;
    const uint64_t last = (jpeg.size() / kCluster - 1) * kCluster;
    std::vector<uint64_t> joints;
    for (int i = 0; i < count; ++i)
        joints.push_back(first + (last - first) / kCluster * i / count * kCluster);
    return joints;
}

// The picture's bytes up to joint, then n bytes of other from offset from.
Bytes Splice(const Bytes& picture, uint64_t joint, const Bytes& other, uint64_t from, uint64_t n)
{
    Bytes bytes(picture.begin(), picture.begin() + static_cast<long>(joint));
    const uint64_t end = std::min<uint64_t>(other.size(), from + n);
    bytes.insert(bytes.end(), other.begin() + static_cast<long>(from), other.begin() + static_cast<long>(end));
    return bytes;
}

JpegJoint Check(const Bytes& bytes, uint64_t joint)
{
    SpanSource source(bytes);
    return CheckJpegJoint(source, joint);
}

std::string Name(JointVerdict verdict)
{
    switch (verdict) {
    case JointVerdict::Continues: return "Continues";
    case JointVerdict::Breaks: return "Breaks";
    case JointVerdict::Ends: return "Ends";
    }
    return "?";
}

// A JPEG of an RGB PPM file with restart markers, as many cameras write them: every 7 MCUs,
// so that the intervals do not line up with the MCU rows.
Bytes EncodeWithRestarts(const std::string& ppmPath)
{
    Bytes ppm = px::test::ReadFile(ppmPath);
    int width = 0, height = 0, maxValue = 0, headerLength = 0;
    if (std::sscanf(reinterpret_cast<const char*>(ppm.data()), "P6 %d %d %d%n", &width, &height, &maxValue,
                    &headerLength) != 3 || maxValue != 255)
        return {};
    const uint8_t* pixels = ppm.data() + headerLength + 1;
    return px::test::LibjpegCompress(pixels, width, height, 3, JCS_RGB, [](jpeg_compress_struct& info) {
        jpeg_set_quality(&info, 90, TRUE);
        info.restart_interval = 7;
    });
}

// Two pictures of each kind (different clouds, same settings), made once for the suite.
struct Kind {
    const char* Name;
    Bytes Picture[2];
};

class JpegJointTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_home = new px::test::TempHome;
        s_kinds = new std::vector<Kind>{{"baseline 4:2:0", {}}, {"4:2:2", {}}, {"restart markers", {}},
                                         {"progressive", {}}};
        const char* options[] = {
            "-quality 92 -sampling-factor 2x2 -define jpeg:optimize-coding=false",
            "-quality 92 -sampling-factor 2x1 -define jpeg:optimize-coding=false",
            nullptr,
            "-quality 90 -sampling-factor 2x2 -interlace Plane",
        };
        for (int n = 0; n < 2; ++n) {
            const std::string ppm = s_home->File("clouds" + std::to_string(n) + ".ppm");
            std::string log;
            if (px::test::Run("convert -size 1600x1200 -seed " + std::to_string(n + 1) + " plasma:fractal -depth 8 " +
                                  px::test::Quote(ppm) + " 2>&1",
                              &log) != 0) {
                s_error = "ImageMagick's convert failed: " + log;
                return;
            }
            for (size_t k = 0; k < s_kinds->size(); ++k) {
                Bytes& picture = (*s_kinds)[k].Picture[n];
                if (!options[k]) {
                    picture = EncodeWithRestarts(ppm);
                } else {
                    const std::string jpg = s_home->File("clouds" + std::to_string(n) + "-" + std::to_string(k) + ".jpg");
                    if (px::test::Run("convert " + px::test::Quote(ppm) + " " + options[k] + " " + px::test::Quote(jpg) +
                                          " 2>&1",
                                      &log) != 0) {
                        s_error = "ImageMagick's convert failed: " + log;
                        return;
                    }
                    picture = px::test::ReadFile(jpg);
                }
                if (picture.size() < 64 * kCluster) {
                    s_error = std::string("the ") + (*s_kinds)[k].Name + " picture came out too small";
                    return;
                }
            }
        }
    }
    static void TearDownTestSuite()
    {
        delete s_kinds;
        delete s_home;
    }
    void SetUp() override { ASSERT_TRUE(s_error.empty()) << s_error; }

    static const std::vector<Kind>& Kinds() { return *s_kinds; }
    static const Bytes& Baseline(int n) { return (*s_kinds)[0].Picture[n]; }

private:
    static inline px::test::TempHome* s_home = nullptr;
    static inline std::vector<Kind>* s_kinds = nullptr;
    static inline std::string s_error;
};

TEST_F(JpegJointTest, TrueContinuationsContinueAndCompletePicturesEnd)
{
    for (const Kind& kind : Kinds()) {
        const Bytes& picture = kind.Picture[0];
        for (uint64_t joint : Joints(picture, 6)) {
            SCOPED_TRACE(std::string(kind.Name) + ", joint at " + std::to_string(joint));
            // The next cluster, and a piece that stops inside an MCU.
            for (uint64_t length : {kCluster, uint64_t(1000)}) {
                const JpegJoint next = Check(Splice(picture, joint, picture, joint, length), joint);
                EXPECT_EQ(Name(next.Verdict), Name(JointVerdict::Continues)) << "misfit " << next.Misfit;
                EXPECT_LT(next.Misfit, 1.0);
            }
            // The rest of the picture, alone and with the slack of its last cluster.
            Bytes rest = Splice(picture, joint, picture, joint, picture.size());
            JpegJoint end = Check(rest, joint);
            EXPECT_EQ(Name(end.Verdict), Name(JointVerdict::Ends));
            EXPECT_EQ(end.EndAt, picture.size());
            rest.resize((rest.size() / kCluster + 1) * kCluster, 0);
            end = Check(rest, joint);
            EXPECT_EQ(Name(end.Verdict), Name(JointVerdict::Ends));
            EXPECT_EQ(end.EndAt, picture.size());
        }
        // All of the picture but its EOI: complete in its data, still waiting for the end.
        const Bytes noEoi(picture.begin(), picture.end() - 2);
        EXPECT_EQ(Name(Check(noEoi, noEoi.size() - kCluster).Verdict), Name(JointVerdict::Continues)) << kind.Name;
    }
}

// A cluster of the other picture of the kind, from elsewhere in its data (the same place
// in a picture of the same clouds would be a near copy of the picture's own cluster).
uint64_t StrangerOffset(const Bytes& stranger, uint64_t joint)
{
    return ((joint / kCluster + 37) % (stranger.size() / kCluster - 2) + 1) * kCluster;
}

// A joint inside the header: a camera's Exif block holds long runs of zeros, which in the
// entropy-coded data would be an erased cluster.
TEST_F(JpegJointTest, JointInsideZeroPaddedHeaderSegment)
{
    const Bytes& picture = Baseline(0);
    Bytes padded = {0xFF, 0xD8, 0xFF, 0xE2, 0x3E, 0x82};  // SOI, APP2 of 16000 bytes
    padded.resize(padded.size() + 16000, 0);
    padded.insert(padded.end(), picture.begin() + 2, picture.end());
    const JpegJoint r = Check(padded, 2 * kCluster);
    EXPECT_EQ(Name(r.Verdict), Name(JointVerdict::Ends));
    EXPECT_EQ(r.EndAt, padded.size());
}

// Another picture of the same settings decodes under the same tables without an error for
// long stretches; the seam it makes in the picture is what gives it away.
TEST_F(JpegJointTest, AnotherPicturesClusterBreaks)
{
    for (const Kind& kind : Kinds()) {
        const Bytes& picture = kind.Picture[0];
        const Bytes& stranger = kind.Picture[1];
        int breaks = 0;
        const std::vector<uint64_t> joints = Joints(picture, 10);
        for (uint64_t joint : joints) {
            const JpegJoint r = Check(Splice(picture, joint, stranger, StrangerOffset(stranger, joint), kCluster), joint);
            if (r.Verdict != JointVerdict::Breaks) {
                std::printf("%s: stranger at joint %llu taken, misfit %.2f\n", kind.Name,
                            static_cast<unsigned long long>(joint), r.Misfit);
                continue;
            }
            ++breaks;
            EXPECT_GE(r.BreakAt, joint) << kind.Name;
            EXPECT_LT(r.BreakAt, joint + kCluster) << kind.Name;
        }
        // Measured on many pictures, 2 to 6 strangers in 100 still fit (the most of them in
        // progressive pictures); of these clouds at most one in ten may.
        EXPECT_GE(breaks, 9) << kind.Name << ": " << breaks << " of " << joints.size() << " strangers found";
    }
}

// A joint a few bytes before a restart marker: the stranger's bytes come where the marker
// should, too few MCUs to see a seam; libjpeg's search for the marker must not pass them
// all as skipped garbage.
TEST_F(JpegJointTest, StrangerWhereARestartMarkerBelongsBreaks)
{
    const Bytes& picture = Kinds()[2].Picture[0];
    const Bytes& stranger = Kinds()[2].Picture[1];
    int tried = 0;
    for (uint64_t at = EntropyStart(picture) + 8 * kCluster; at + 1 < picture.size() && tried < 5; ++at) {
        if (picture[at] != 0xFF || (picture[at + 1] & 0xF8) != 0xD0)
            continue;
        const uint64_t joint = at - 40;
        const JpegJoint r = Check(Splice(picture, joint, stranger, StrangerOffset(stranger, joint), kCluster), joint);
        EXPECT_EQ(Name(r.Verdict), Name(JointVerdict::Breaks)) << "joint at " << joint;
        EXPECT_GE(r.BreakAt, joint);
        EXPECT_LT(r.BreakAt, joint + kCluster);
        ++tried;
        at += 16 * kCluster;
    }
    EXPECT_EQ(tried, 5);
}

TEST_F(JpegJointTest, ErasedClustersRandomBytesAndFileStartsBreak)
{
    std::mt19937 random(7);
    for (const Kind& kind : Kinds()) {
        const Bytes& picture = kind.Picture[0];
        const Bytes& other = kind.Picture[1];
        for (uint64_t joint : Joints(picture, 3)) {
            SCOPED_TRACE(std::string(kind.Name) + ", joint at " + std::to_string(joint));
            const Bytes zeros(kCluster, 0x00), ones(kCluster, 0xFF);
            Bytes noise(kCluster);
            for (uint8_t& b : noise)
                b = static_cast<uint8_t>(random());
            for (const Bytes* candidate : {&zeros, &ones, &other}) {
                const JpegJoint r = Check(Splice(picture, joint, *candidate, 0, kCluster), joint);
                EXPECT_EQ(Name(r.Verdict), Name(JointVerdict::Breaks)) << int((*candidate)[0]);
                EXPECT_EQ(r.BreakAt, joint) << int((*candidate)[0]);
            }
            const JpegJoint r = Check(Splice(picture, joint, noise, 0, kCluster), joint);
            EXPECT_EQ(Name(r.Verdict), Name(JointVerdict::Breaks));
            EXPECT_GE(r.BreakAt, joint);
            EXPECT_LT(r.BreakAt, joint + kCluster);
        }
    }
}

TEST_F(JpegJointTest, KnownPartThatDoesNotDecodeBreaksBeforeTheJoint)
{
    Bytes picture = Baseline(0);
    const uint64_t joint = Joints(picture, 2)[1];
    // A marker in the middle of the data, far before the joint.
    const uint64_t damage = joint - 16 * kCluster;
    picture[damage] = 0xFF;
    picture[damage + 1] = 0xD8;
    const JpegJoint r = Check(Splice(picture, joint, picture, joint, kCluster), joint);
    EXPECT_EQ(Name(r.Verdict), Name(JointVerdict::Breaks));
    EXPECT_LE(r.BreakAt, damage);
    EXPECT_GT(r.BreakAt, damage - kCluster);
}

TEST_F(JpegJointTest, GoodPrefixEndsWhereTheCarveLeftThePicture)
{
    for (const Kind& kind : Kinds()) {
        SCOPED_TRACE(kind.Name);
        const Bytes& picture = kind.Picture[0];
        SpanSource whole(picture);
        EXPECT_EQ(JpegGoodPrefix(whole, kCluster), picture.size());
        // A carve cut short is no broken one.
        const Bytes cut(picture.begin(), picture.begin() + static_cast<long>(picture.size() * 2 / 3));
        SpanSource shortCarve(cut);
        EXPECT_EQ(JpegGoodPrefix(shortCarve, kCluster), cut.size());
        // Erased clusters and another file's start are found at the cluster boundary.
        const uint64_t joint = Joints(picture, 2)[1];
        const Bytes zeros(8 * kCluster, 0);
        for (const Bytes* after : {&zeros, &kind.Picture[1]}) {
            const Bytes carve = Splice(picture, joint, *after, 0, after->size());
            SpanSource source(carve);
            EXPECT_EQ(JpegGoodPrefix(source, kCluster), joint);
        }
    }
    // A carve that ran on into the rest of a stranger from the same camera: its data decodes
    // without error up to the stranger's EOI; the seam is found.
    for (int k : {0, 1}) {
        const Bytes& picture = Kinds()[static_cast<size_t>(k)].Picture[0];
        const Bytes& stranger = Kinds()[static_cast<size_t>(k)].Picture[1];
        for (uint64_t joint : Joints(picture, 3)) {
            const Bytes carve = Splice(picture, joint, stranger, StrangerOffset(stranger, joint), stranger.size());
            SpanSource source(carve);
            EXPECT_EQ(JpegGoodPrefix(source, kCluster), joint) << Kinds()[static_cast<size_t>(k)].Name;
        }
    }
}

}  // namespace

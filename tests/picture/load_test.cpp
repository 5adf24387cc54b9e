#include "picture/load.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QTemporaryDir>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
// Qt and fontconfig keep caches until exit, which LeakSanitizer would report as leaks.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
#endif

using bitlay::picture::LoadError;
using bitlay::picture::loadPicture;

namespace {

const QString kSuite = QStringLiteral(BITLAY_TEST_DATA "/bmpsuite");

std::vector<std::string> filesOf(const char* folder) {
    std::vector<std::string> names;
    const QDir dir(kSuite + '/' + folder);
    for (const QString& name : dir.entryList({QStringLiteral("*.bmp")}, QDir::Files, QDir::Name))
        names.push_back(QStringLiteral("%1/%2").arg(folder, name).toStdString());
    return names;
}

std::string testNameOf(const ::testing::TestParamInfo<std::string>& info) {
    std::string name = info.param;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

// The reference picture of each good file, as the suite's own page pairs them.
const std::map<std::string, std::string>& referenceOf() {
    static const std::map<std::string, std::string> references = {
        {"pal1.bmp", "pal1.png"},           {"pal1wb.bmp", "pal1.png"},
        {"pal1bg.bmp", "pal1bg.png"},       {"pal4.bmp", "pal4.png"},
        {"pal4gs.bmp", "pal4gs.png"},       {"pal4rle.bmp", "pal4.png"},
        {"pal8.bmp", "pal8.png"},           {"pal8-0.bmp", "pal8.png"},
        {"pal8gs.bmp", "pal8gs.png"},       {"pal8rle.bmp", "pal8.png"},
        {"pal8w124.bmp", "pal8w124.png"},   {"pal8w125.bmp", "pal8w125.png"},
        {"pal8w126.bmp", "pal8w126.png"},   {"pal8topdown.bmp", "pal8.png"},
        {"pal8os2.bmp", "pal8.png"},        {"pal8v4.bmp", "pal8.png"},
        {"pal8v5.bmp", "pal8.png"},         {"pal8nonsquare.bmp", "pal8nonsquare-e.png"},
        {"rgb16.bmp", "rgb16.png"},         {"rgb16bfdef.bmp", "rgb16.png"},
        {"rgb16-565.bmp", "rgb16-565.png"}, {"rgb16-565pal.bmp", "rgb16-565.png"},
        {"rgb24.bmp", "rgb24.png"},         {"rgb24pal.bmp", "rgb24.png"},
        {"rgb32.bmp", "rgb24.png"},         {"rgb32bf.bmp", "rgb24.png"},
        {"rgb32bfdef.bmp", "rgb24.png"},
    };
    return references;
}

// Largest difference of red, green and blue over all pixels; -1 for different sizes.
int largestDifference(const QImage& a, const QImage& b) {
    if (a.size() != b.size()) return -1;
    int largest = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            largest = std::max({largest, std::abs(qRed(p) - qRed(q)),
                                std::abs(qGreen(p) - qGreen(q)), std::abs(qBlue(p) - qBlue(q))});
        }
    return largest;
}

// Leaves freed blocks of a picture's size full of a pattern, so that pixels a reader forgets to
// write differ between two loads instead of happening to match.
void dirtyHeap(qsizetype bytes) {
    std::vector<std::unique_ptr<char[]>> blocks;
    for (int i = 0; i < 8; ++i) {
        blocks.emplace_back(new char[static_cast<std::size_t>(bytes)]);
        std::memset(blocks.back().get(), 0x5A + 13 * i, static_cast<std::size_t>(bytes));
    }
}

struct Outcome {
    bool loaded = false;
    QImage image;
    std::string message;
};

Outcome attempt(const QString& path) {
    Outcome outcome;
    try {
        outcome.image = loadPicture(path);
        outcome.loaded = true;
    } catch (const LoadError& error) {
        outcome.message = error.what();
    }
    return outcome;
}

}  // namespace

class GoodBmp : public ::testing::TestWithParam<std::string> {};

TEST_P(GoodBmp, MatchesItsReferencePicture) {
    const QString file = QString::fromStdString(GetParam());
    const std::string name = QFileInfo(file).fileName().toStdString();
    ASSERT_TRUE(referenceOf().count(name)) << "no reference for " << name;
    const QImage reference(kSuite + "/html/" + QString::fromStdString(referenceOf().at(name)));
    ASSERT_FALSE(reference.isNull());
    const QImage picture = loadPicture(kSuite + '/' + file);
    // 16-bit files keep 5 or 6 bits a channel, and readers widen them in different ways.
    const int tolerance = name.rfind("rgb16", 0) == 0 ? 7 : 0;
    const int difference = largestDifference(picture, reference);
    EXPECT_GE(difference, 0) << "size " << picture.width() << "x" << picture.height();
    EXPECT_LE(difference, tolerance);
}

INSTANTIATE_TEST_SUITE_P(BmpSuite, GoodBmp, ::testing::ValuesIn(filesOf("g")), testNameOf);

class DoubtfulBmp : public ::testing::TestWithParam<std::string> {};

TEST_P(DoubtfulBmp, LoadsTheSameTwiceOrIsRefused) {
    const QString path = kSuite + '/' + QString::fromStdString(GetParam());
    const Outcome first = attempt(path);
    dirtyHeap(first.loaded ? first.image.sizeInBytes() : 127 * 64 * 4);
    const Outcome second = attempt(path);
    ASSERT_EQ(first.loaded, second.loaded);
    if (first.loaded) {
        ASSERT_EQ(first.image.size(), second.image.size());
        EXPECT_EQ(first.image.format(), second.image.format());
        EXPECT_TRUE(first.image == second.image) << "pixels differ between two loads";
    } else {
        const std::string prefix = "Cannot load picture \"" + path.toStdString() + "\": ";
        EXPECT_EQ(first.message.rfind(prefix, 0), 0u) << first.message;
        EXPECT_GT(first.message.size(), prefix.size()) << "no reason given";
        EXPECT_EQ(first.message, second.message);
    }
}

INSTANTIATE_TEST_SUITE_P(BmpSuiteQuestionable, DoubtfulBmp, ::testing::ValuesIn(filesOf("q")),
                         testNameOf);
INSTANTIATE_TEST_SUITE_P(BmpSuiteBad, DoubtfulBmp, ::testing::ValuesIn(filesOf("b")), testNameOf);

TEST(LoadPicture, UndecodedPixelsOfABrokenFileAreZero) {
    // The suite's cut-off RLE file stops early; what it never reaches is palette entry 0.
    const QImage picture = loadPicture(kSuite + "/q/pal8rlecut.bmp");
    const QImage reference(kSuite + "/html/pal8rlecut-0.png");
    ASSERT_FALSE(reference.isNull());
    EXPECT_EQ(largestDifference(picture, reference), 0);
}

TEST(LoadPicture, FailuresNameTheFileAndTheReason) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString missing = dir.filePath("missing.bmp");
    const QString text = dir.filePath("notes.bmp");
    QFile file(text);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("not a picture\n");
    file.close();
    EXPECT_EQ(attempt(missing).message,
              "Cannot load picture \"" + missing.toStdString() + "\": File not found");
    EXPECT_EQ(attempt(text).message,
              "Cannot load picture \"" + text.toStdString() + "\": Unsupported image format");
    EXPECT_FALSE(attempt(dir.path()).loaded);
}

TEST(LoadPicture, RefusesPicturesBeyondQtsAllocationLimit) {
    // A header announcing 16000 × 16000 pixels of 24 bits, far beyond the limit, and no pixels.
    QByteArray header(54, '\0');
    const auto put32 = [&header](int offset, quint32 value) {
        for (int i = 0; i < 4; ++i) header[offset + i] = static_cast<char>(value >> (8 * i));
    };
    header[0] = 'B';
    header[1] = 'M';
    put32(2, 54);
    put32(10, 54);
    put32(14, 40);
    put32(18, 16000);
    put32(22, 16000);
    header[26] = 1;
    header[28] = 24;
    QTemporaryDir dir;
    const QString path = dir.filePath("huge.bmp");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(header);
    file.close();
    const Outcome outcome = attempt(path);
    EXPECT_FALSE(outcome.loaded);
    EXPECT_NE(outcome.message.find("too large to hold"), std::string::npos) << outcome.message;
    EXPECT_NE(outcome.message.find("allocation limit"), std::string::npos) << outcome.message;
}

TEST(LoadPicture, ReadsOtherFormatsByTheirContent) {
    QTemporaryDir dir;
    // A PNG under a .bmp name, as users rename files.
    const QString path = dir.filePath("renamed.bmp");
    ASSERT_TRUE(QFile::copy(kSuite + "/html/rgb24.png", path));
    const QImage picture = loadPicture(path);
    EXPECT_EQ(largestDifference(picture, QImage(kSuite + "/html/rgb24.png")), 0);
    EXPECT_EQ(picture.format(), QImage::Format_RGB32);

    QImage translucent(2, 1, QImage::Format_ARGB32);
    translucent.fill(qRgba(10, 20, 30, 0));
    const QString png = dir.filePath("translucent.png");
    ASSERT_TRUE(translucent.save(png));
    EXPECT_EQ(loadPicture(png).format(), QImage::Format_ARGB32);
}

namespace {

// A bottom-up 8-bit run-length coded BMP of 4 × 2 pixels with a grey palette and the given stream.
QByteArray runLengthBmp(const QByteArray& stream) {
    QByteArray file(54 + 256 * 4, '\0');
    const auto put = [&file](int offset, quint32 value, int bytes) {
        for (int i = 0; i < bytes; ++i) file[offset + i] = static_cast<char>(value >> (8 * i));
    };
    file[0] = 'B';
    file[1] = 'M';
    put(2, static_cast<quint32>(file.size() + stream.size()), 4);
    put(10, static_cast<quint32>(file.size()), 4);
    put(14, 40, 4);
    put(18, 4, 4);
    put(22, 2, 4);
    put(26, 1, 2);
    put(28, 8, 2);
    put(30, 1, 4);  // RLE8
    for (int i = 0; i < 256; ++i) put(54 + 4 * i, 0x010101u * static_cast<quint32>(i), 4);
    return file + stream;
}

QByteArray bmpOf(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(image.save(&buffer, "BMP"));
    return bytes;
}

}  // namespace

TEST(LoadPicture, DamagedBmpsAreRefusedAndWholeOnesLoad) {
    QImage artwork(200, 80, QImage::Format_RGB32);
    artwork.fill(qRgb(200, 40, 40));
    const QByteArray whole = bmpOf(artwork);  // 24 bits a pixel, 600 bytes a row
    ASSERT_EQ(whole.size(), 54 + 600 * 80);
    QFile suiteShort(kSuite + "/b/shortfile.bmp");
    ASSERT_TRUE(suiteShort.open(QIODevice::ReadOnly));

    const struct {
        const char* name;
        QByteArray bytes;
        const char* reason;  // nullptr: loads
    } cases[] = {
        {"the first 200 bytes", whole.left(200),
         "the file is damaged: its pixel data stops after 146 of 48000 bytes"},
        {"the last row short by one byte", whole.left(whole.size() - 1),
         "the file is damaged: its pixel data stops after 47999 of 48000 bytes"},
        {"headers only", whole.left(54), "the file is damaged: its pixel data is missing"},
        {"the suite's cut-off file", suiteShort.readAll(),
         "the file is damaged: its pixel data stops after 211 of 1024 bytes"},
        {"a run-length stream cut off", runLengthBmp(QByteArray("\x04\x07\x00\x00\x04", 5)),
         "the file is damaged: its pixel data ends before the picture does"},
        {"a run-length stream cut inside a literal",
         runLengthBmp(QByteArray("\x00\x04\x01\x02", 4)),
         "the file is damaged: its pixel data ends before the picture does"},
        {"whole", whole, nullptr},
        {"whole with bytes after it", whole + QByteArray(10, 'x'), nullptr},
        {"a run-length stream with its end code",
         runLengthBmp(QByteArray("\x04\x07\x00\x00\x04\x09\x00\x01", 8)), nullptr},
        {"a run-length stream that ends early with its end code",
         runLengthBmp(QByteArray("\x02\x07\x00\x01", 4)), nullptr},
        {"a run-length stream that ends every row without an end code",
         runLengthBmp(QByteArray("\x00\x04\x01\x02\x03\x04\x00\x00\x04\x09\x00\x00", 12)), nullptr},
    };
    QTemporaryDir dir;
    for (const auto& c : cases) {
        const QString path = dir.filePath(QStringLiteral("picture.bmp"));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(c.bytes);
        file.close();
        const Outcome outcome = attempt(path);
        if (c.reason) {
            EXPECT_FALSE(outcome.loaded) << c.name;
            EXPECT_EQ(outcome.message,
                      "Cannot load picture \"" + path.toStdString() + "\": " + c.reason)
                << c.name;
        } else {
            EXPECT_TRUE(outcome.loaded) << c.name << ": " << outcome.message;
        }
    }
    // What the run-length file that ends early leaves out is palette entry 0, black.
    const QString early = dir.filePath(QStringLiteral("early.bmp"));
    QFile file(early);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(runLengthBmp(QByteArray("\x02\x07\x00\x01", 4)));
    file.close();
    const QImage picture = loadPicture(early);
    EXPECT_EQ(picture.pixel(0, 1), qRgb(7, 7, 7));
    EXPECT_EQ(picture.pixel(2, 1), qRgb(0, 0, 0));
    EXPECT_EQ(picture.pixel(0, 0), qRgb(0, 0, 0));
}

TEST(LoadPicture, SvgIsDrawnAtTheSizeItGives) {
    const QImage logo = loadPicture(QStringLiteral(BITLAY_TEST_DATA "/artwork/logo.svg"));
    ASSERT_EQ(logo.size(), QSize(120, 60));
    // Points well inside the shapes: the edges are smooth, mixtures of the colours that meet.
    const struct {
        QPoint at;
        QRgb colour;
    } points[] = {
        {{0, 0}, qRgb(255, 255, 255)},    // the ground, opaque
        {{30, 6}, qRgb(0, 0, 0)},         // the top of the ring
        {{30, 20}, qRgb(208, 16, 16)},    // the bolt's upper half
        {{28, 40}, qRgb(208, 16, 16)},    // its lower half
        {{70, 30}, qRgb(0, 0, 0)},        // the middle trace
        {{108, 30}, qRgb(0, 0, 0)},       // its pad
        {{119, 59}, qRgb(255, 255, 255)}  // the far corner
    };
    for (const auto& point : points)
        EXPECT_EQ(logo.pixel(point.at), point.colour) << point.at.x() << "," << point.at.y();

    // Sizes in millimetres count 90 pixels an inch, as the artwork guide tells for planning a size.
    QTemporaryDir dir;
    const QString path = dir.filePath("millimetres.svg");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(R"(<svg xmlns="http://www.w3.org/2000/svg" width="30mm" height="15mm">)"
               R"(<rect width="100%" height="100%" fill="black"/></svg>)");
    file.close();
    EXPECT_EQ(loadPicture(path).size(), QSize(106, 53));
}

TEST(LoadPicture, AnSvgWithoutQtsSvgPluginNamesThePackage) {
    // Qt finds its plugins in the library paths; an empty one hides the SVG plugin, as long as
    // nothing in this process has loaded it yet (each test runs on its own under CTest).
    const QStringList paths = QCoreApplication::libraryPaths();
    QTemporaryDir empty;
    QCoreApplication::setLibraryPaths({empty.path()});
    const bool svgStillRead = QImageReader::supportedImageFormats().contains("svg");
    const Outcome svg = attempt(QStringLiteral(BITLAY_TEST_DATA "/artwork/logo.svg"));
    QTemporaryDir dir;
    const QString text = dir.filePath("notes.svg");
    QFile file(text);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("not a picture\n");
    file.close();
    const Outcome notSvg = attempt(text);
    QCoreApplication::setLibraryPaths(paths);
    if (svgStillRead) GTEST_SKIP() << "Qt's SVG plugin was loaded earlier in this process";

    EXPECT_FALSE(svg.loaded);
    EXPECT_NE(svg.message.find("Qt's SVG image plugin, which is not installed (Debian's package "
                               "libqt6svg6 on Debian 12, qt6-svg-plugins from Debian 13 on)"),
              std::string::npos)
        << svg.message;
    // Without the plugin nothing can tell a broken SVG from a good one: the same reason.
    EXPECT_EQ(notSvg.message.substr(notSvg.message.find("\": ")),
              svg.message.substr(svg.message.find("\": ")));
}

// Any file the user picks in Load, through the loader the window uses: the project's own checks
// of a BMP, then Qt's readers, which take the other formats by their contents. A file is a picture
// in RGB32 or ARGB32, or refused with a message that names it.

#include <QGuiApplication>
#include <QImage>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "picture/load.h"

namespace {

const QString& picturePath() {
    static const QString path =
        QString::fromStdString((bitlay::fuzz::scratchFolder() / "picture.bmp").string());
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // Qt's image plugins (SVG, GIF, JPEG, ...) load only with an application.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QGuiApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    bitlay::fuzz::writeFile(picturePath().toStdString(),
                            std::string(reinterpret_cast<const char*>(data), size));
    try {
        const QImage picture = bitlay::picture::loadPicture(picturePath());
        FUZZ_CHECK(!picture.isNull());
        FUZZ_CHECK(picture.format() == QImage::Format_RGB32 ||
                   picture.format() == QImage::Format_ARGB32);
    } catch (const bitlay::picture::LoadError& refused) {
        FUZZ_CHECK(refused.path() == picturePath());
        FUZZ_CHECK(std::string(refused.what()).rfind("Cannot load picture \"", 0) == 0);
    }
    return 0;
}

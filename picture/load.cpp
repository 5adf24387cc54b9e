#include "picture/load.h"

#include <QImageIOHandler>
#include <QImageReader>
#include <cstdlib>
#include <cstring>

namespace bitlay::picture {

namespace {

QString messageFor(const QString& path, const QString& reason) {
    return QStringLiteral("Cannot load picture \"%1\": %2").arg(path, reason);
}

}  // namespace

LoadError::LoadError(const QString& path, const QString& reason)
    : std::runtime_error(messageFor(path, reason).toStdString()), path_(path) {}

QImage loadPicture(const QString& path) {
    QImageReader reader(path);
    QImage image;
    // Qt's BMP reader leaves the pixels of truncated or broken RLE files undecoded yet reports
    // success. Handing it an image of the size and format it will decode into makes it write into
    // our cleared buffer instead of a fresh, uninitialised one, so those pixels are always zero.
    // Some readers report top-down BMPs with a negative height.
    const QSize announced = reader.size();
    const QImage::Format format = reader.imageFormat();
    if (announced.isValid() || (announced.width() > 0 && announced.height() < 0)) {
        const QSize size(announced.width(), std::abs(announced.height()));
        if (format != QImage::Format_Invalid && !size.isEmpty()) {
            // Checks Qt's allocation limit, as the reader itself would.
            if (!QImageIOHandler::allocateImage(size, format, &image)) {
                const int limitMegabytes = QImageReader::allocationLimit();
                const QString limit =
                    limitMegabytes > 0
                        ? QStringLiteral("Qt's allocation limit is %1 MB").arg(limitMegabytes)
                        : QStringLiteral("out of memory");
                throw LoadError(path, QStringLiteral("the picture is %1 × %2 pixels, too large "
                                                     "to hold (%3)")
                                          .arg(size.width())
                                          .arg(size.height())
                                          .arg(limit));
            }
            std::memset(image.bits(), 0, static_cast<std::size_t>(image.sizeInBytes()));
        }
    }
    if (!reader.read(&image)) throw LoadError(path, reader.errorString());
    if (image.isNull()) throw LoadError(path, QStringLiteral("the file holds no picture"));
    QImage picture = image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32
                                                                   : QImage::Format_RGB32);
    if (picture.isNull())
        throw LoadError(path, QStringLiteral("the picture is too large to hold (out of memory)"));
    return picture;
}

}  // namespace bitlay::picture

#include "picture/load.h"

#include <QFile>
#include <QFileInfo>
#include <QImageIOHandler>
#include <QImageReader>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace bitlay::picture {

namespace {

QString messageFor(const QString& path, const QString& reason) {
    return QStringLiteral("Cannot load picture \"%1\": %2").arg(path, reason);
}

// Little-endian fields of a file held in memory; reads past the end give nothing.
class Bytes {
  public:
    explicit Bytes(const QByteArray& data) : data_(data) {}
    qint64 size() const noexcept { return data_.size(); }
    std::optional<std::uint32_t> u32(qint64 at) const { return unsignedAt(at, 4); }
    std::optional<std::uint32_t> u16(qint64 at) const { return unsignedAt(at, 2); }
    std::optional<std::uint8_t> u8(qint64 at) const {
        if (at < 0 || at >= size()) return std::nullopt;
        return static_cast<std::uint8_t>(data_[at]);
    }

  private:
    std::optional<std::uint32_t> unsignedAt(qint64 at, int length) const {
        if (at < 0 || at + length > size()) return std::nullopt;
        std::uint32_t value = 0;
        for (int i = length - 1; i >= 0; --i)
            value = value << 8 | static_cast<std::uint8_t>(data_[at + i]);
        return value;
    }
    const QByteArray& data_;
};

constexpr std::uint32_t kRgb = 0, kRle8 = 1, kRle4 = 2, kBitfields = 3, kAlphaBitfields = 6;
constexpr qint64 kFileHeaderSize = 14;
constexpr std::uint32_t kCoreHeaderSize = 12;  // the oldest header: 16-bit sizes, no compression
constexpr std::uint32_t kV4HeaderSize = 108;   // from here on the masks are part of the header

// Walks a run-length coded stream from `at`: it is whole when it reaches its end-of-picture code
// or has ended every row before the file ends.
bool runLengthStreamIsWhole(const Bytes& file, qint64 at, std::int64_t rows, bool fourBit) {
    std::int64_t row = 0;
    while (row < rows) {
        const auto count = file.u8(at);
        const auto code = file.u8(at + 1);
        if (!count || !code) return false;
        at += 2;
        if (*count != 0) continue;  // a run of one value
        if (*code == 1) return true;
        if (*code == 0) {
            ++row;
        } else if (*code == 2) {
            const auto down = file.u8(at + 1);
            if (!down) return false;
            row += *down;
            at += 2;
        } else {
            // Literal pixels, padded to a whole 16-bit word.
            const qint64 bytes = fourBit ? (*code + 1) / 2 : *code;
            at += (bytes + 1) / 2 * 2;
            if (at > file.size()) return false;
        }
    }
    return true;
}

// Why a BMP file holds less pixel data than its header announces, or nothing when all of it is
// there. Qt's reader stops quietly where the data ends and reports success, so a cut-off file
// would load as a picture with its missing rows in black. Headers Qt refuses are left to Qt.
std::optional<QString> bmpDamage(const QByteArray& data) {
    const Bytes file(data);
    const auto dataOffset = file.u32(10);
    const auto headerSize = file.u32(kFileHeaderSize);
    if (!dataOffset || !headerSize) return std::nullopt;
    std::int64_t width = 0, height = 0;
    std::uint32_t bitsPerPixel = 0, compression = kRgb, colours = 0;
    if (*headerSize == kCoreHeaderSize) {
        const auto w = file.u16(18), h = file.u16(20), bits = file.u16(24);
        if (!w || !h || !bits) return std::nullopt;
        width = *w;
        height = *h;
        bitsPerPixel = *bits;
    } else {
        const auto w = file.u32(18), h = file.u32(22), bits = file.u16(28);
        if (!w || !h || !bits) return std::nullopt;
        width = static_cast<std::int32_t>(*w);
        height = std::abs(static_cast<std::int64_t>(static_cast<std::int32_t>(*h)));
        bitsPerPixel = *bits;
        if (*headerSize >= 20) compression = file.u32(30).value_or(kRgb);
        if (*headerSize >= 36) colours = file.u32(46).value_or(0);
    }
    if (width <= 0 || height <= 0) return std::nullopt;

    // The reader takes the pixels from the announced offset, or straight after the header, its
    // masks and its palette where the offset points back into them.
    qint64 start = kFileHeaderSize + *headerSize;
    const bool bitfields = compression == kBitfields || compression == kAlphaBitfields;
    if (bitfields && *headerSize < kV4HeaderSize && (bitsPerPixel == 16 || bitsPerPixel == 32))
        start += compression == kAlphaBitfields ? 16 : 12;
    if (bitsPerPixel <= 8)
        start += static_cast<qint64>(colours ? colours : 1u << bitsPerPixel) *
                 (*headerSize == kCoreHeaderSize ? 3 : 4);
    start = std::max<qint64>(start, *dataOffset);

    if (start >= file.size())
        return QStringLiteral("the file is damaged: its pixel data is missing");
    if (compression == kRle8 || compression == kRle4) {
        if (!runLengthStreamIsWhole(file, start, height, compression == kRle4))
            return QStringLiteral(
                "the file is damaged: its pixel data ends before the picture "
                "does");
        return std::nullopt;
    }
    if (compression != kRgb && !bitfields) return std::nullopt;
    // The header's numbers are the file's word: a product too large for 64 bits is more data than
    // any file holds.
    std::int64_t rowBits = 0;
    std::int64_t needed = 0;
    const bool huge =
        __builtin_mul_overflow(width, static_cast<std::int64_t>(bitsPerPixel), &rowBits) ||
        __builtin_mul_overflow((rowBits + 31) / 32 * 4, height, &needed);
    const std::int64_t present = file.size() - start;
    if (huge)
        return QStringLiteral(
            "the file is damaged: its header announces more pixel data than a file can hold");
    if (present < needed)
        return QStringLiteral("the file is damaged: its pixel data stops after %1 of %2 bytes")
            .arg(present)
            .arg(needed);
    return std::nullopt;
}

// An SVG file where Qt has no reader for SVG: its image plugin is a package of its own, and
// without it Qt only says that it knows no such format.
bool needsSvgPlugin(const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    return (suffix == QLatin1String("svg") || suffix == QLatin1String("svgz")) &&
           !QImageReader::supportedImageFormats().contains("svg");
}

}  // namespace

LoadError::LoadError(const QString& path, const QString& reason)
    : std::runtime_error(messageFor(path, reason).toStdString()), path_(path) {}

QImage loadPicture(const QString& path) {
    QImageReader reader(path);
    QImage image;
    // Qt's BMP reader leaves the pixels that an RLE file skips (an early end-of-picture code, a
    // jump, a broken run) undecoded yet reports success. Handing it an image of the size and format
    // it will decode into makes it write into our cleared buffer instead of a fresh, uninitialised
    // one, so those pixels are always zero. Some readers report top-down BMPs with a negative
    // height.
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
    // After the size check: a picture too large to hold is refused as that, whatever follows.
    if (reader.format() == "bmp") {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            if (const std::optional<QString> damage = bmpDamage(file.readAll()))
                throw LoadError(path, *damage);
        }
    }
    if (!reader.read(&image)) {
        if (reader.error() == QImageReader::UnsupportedFormatError && needsSvgPlugin(path))
            throw LoadError(path, QStringLiteral("an SVG picture needs Qt's SVG image plugin, "
                                                 "which is not installed (Debian's package "
                                                 "libqt6svg6 on Debian 12, qt6-svg-plugins "
                                                 "from Debian 13 on)"));
        throw LoadError(path, reader.errorString());
    }
    if (image.isNull()) throw LoadError(path, QStringLiteral("the file holds no picture"));
    QImage picture = image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32
                                                                   : QImage::Format_RGB32);
    if (picture.isNull())
        throw LoadError(path, QStringLiteral("the picture is too large to hold (out of memory)"));
    return picture;
}

}  // namespace bitlay::picture

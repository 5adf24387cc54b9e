#pragma once

#include <QImage>
#include <QString>
#include <stdexcept>

namespace bitlay::picture {

// A file that cannot be made into a picture; the message names the file and the reason.
class LoadError final : public std::runtime_error {
  public:
    LoadError(const QString& path, const QString& reason);

    const QString& path() const noexcept { return path_; }

  private:
    QString path_;
};

// Loads a picture from a file in any format Qt reads, as RGB32 (ARGB32 where the file has alpha).
// An SVG is drawn by Qt's SVG image plugin at the size the file gives, with smooth edges; without
// that plugin it is refused with the package to install.
// A BMP whose pixel data is missing or cut short is refused as damaged; what Qt's reader leaves
// undecoded in a file it accepts (an early end-of-picture code) is zero, so the same file gives the
// same pixels on every run. Pictures beyond Qt's allocation limit are refused. Throws LoadError.
QImage loadPicture(const QString& path);

}  // namespace bitlay::picture

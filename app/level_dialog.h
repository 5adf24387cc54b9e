#pragma once

#include <QDialog>
#include <QSlider>
#include <QSpinBox>
#include <functional>

namespace bitlay::app {

// A small dialog with one number and a slider for it, as the picture's preparations ask for one:
// a lightness level, a number of colours. Every change of the number is handed to the preview at
// once, by mouse, arrow keys or typing; Enter keeps it and Esc gives it up. The slider has the
// focus, so the arrow keys move it from the start.
class LevelDialog final : public QDialog {
    Q_OBJECT

  public:
    LevelDialog(const QString& title, const QString& label, int minimum, int maximum, int start,
                QWidget* parent);

    int value() const noexcept { return slider_->value(); }
    void setValue(int value) { slider_->setValue(value); }
    // Called with each new value, and once now with the starting value.
    void setPreview(std::function<void(int)> preview);

  private:
    QSlider* slider_ = nullptr;
    QSpinBox* spin_ = nullptr;
    std::function<void(int)> preview_;
};

}  // namespace bitlay::app

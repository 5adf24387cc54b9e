#include "app/level_dialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace bitlay::app {

LevelDialog::LevelDialog(const QString& title, const QString& label, int minimum, int maximum,
                         int start, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::CustomizeWindowHint) {
    setObjectName(QStringLiteral("LevelDialog"));
    setWindowTitle(title);
    // The main window is kept above others; its dialog must not open behind it.
    setWindowFlag(Qt::WindowStaysOnTopHint, true);

    slider_ = new QSlider(Qt::Horizontal, this);
    slider_->setObjectName(QStringLiteral("Level"));
    slider_->setRange(minimum, maximum);
    slider_->setPageStep(std::max(1, (maximum - minimum) / 16));
    slider_->setValue(start);
    slider_->setMinimumWidth(240);
    spin_ = new QSpinBox(this);
    spin_->setRange(minimum, maximum);
    spin_->setValue(start);
    auto* caption = new QLabel(label, this);
    caption->setBuddy(slider_);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    connect(slider_, &QSlider::valueChanged, spin_, &QSpinBox::setValue);
    connect(spin_, &QSpinBox::valueChanged, slider_, &QSlider::setValue);
    connect(slider_, &QSlider::valueChanged, this, [this](int value) {
        if (preview_) preview_(value);
    });

    auto* row = new QHBoxLayout;
    row->addWidget(caption);
    row->addWidget(slider_, 1);
    row->addWidget(spin_);
    auto* column = new QVBoxLayout(this);
    column->addLayout(row);
    column->addWidget(buttons);
    setFixedSize(sizeHint());
    slider_->setFocus();
}

void LevelDialog::setPreview(std::function<void(int)> preview) {
    preview_ = std::move(preview);
    if (preview_) preview_(slider_->value());
}

}  // namespace bitlay::app

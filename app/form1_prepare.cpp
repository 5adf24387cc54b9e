// The window's picture menu: preparing the picture in Picture1 before its colours are picked.

#include <QAction>
#include <QLocale>
#include <QTimer>
#include <utility>

#include "app/form1.h"
#include "app/level_dialog.h"
#include "picture/prepare.h"

namespace bitlay::app {
namespace {

QString countText(std::int64_t count) {
    return QLocale(QLocale::English).toString(static_cast<qlonglong>(count));
}

QString coloursText(int count) {
    return count == 1 ? QStringLiteral("1 colour") : QStringLiteral("%1 colours").arg(count);
}

}  // namespace

void Form1::buildPictureMenu() {
    pictureMenu_ = new QMenu(this);
    pictureMenu_->setObjectName(QStringLiteral("PictureMenu"));
    const auto item = [this](const char* name, const QString& text, void (Form1::*handler)()) {
        QAction* action = pictureMenu_->addAction(text);
        action->setObjectName(QString::fromLatin1(name));
        connect(action, &QAction::triggered, this,
                [this, handler] { runHandler([this, handler] { (this->*handler)(); }); });
        return action;
    };
    item("BlackAndWhite", QStringLiteral("&Black and white…"), &Form1::BlackAndWhite_Click);
    item("FlatColours", QStringLiteral("&Flat colours…"), &Form1::FlatColours_Click);
    pictureMenu_->addSeparator();
    QAction* fit = item("FitToBox", QStringLiteral("Fi&t to the box"), &Form1::FitToBox_Click);
    item("Mirror", QStringLiteral("&Mirror"), &Form1::Mirror_Click);
    pictureMenu_->addSeparator();
    QAction* original =
        item("OriginalPicture", QStringLiteral("&Original picture"), &Form1::OriginalPicture_Click);
    // Fitting and going back start from the loaded picture, so they wait for a Load.
    connect(pictureMenu_, &QMenu::aboutToShow, this, [this, fit, original] {
        fit->setEnabled(!LoadedPicture.isNull());
        original->setEnabled(!LoadedPicture.isNull());
    });

    controls_.Picture1->setToolTip(QString::fromUtf8(kPictureToolTip));
    controls_.Picture1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(
        controls_.Picture1, &QWidget::customContextMenuRequested, this,
        [this](const QPoint& position) { runHandler([&] { Picture1_ContextMenu(position); }); });
}

void Form1::Picture1_ContextMenu(const QPoint& position) {
    pictureMenu_->popup(controls_.Picture1->mapToGlobal(position));
}

void Form1::BlackAndWhite_Click() {
    const QImage surface = picture1Model_.surface().copy();
    const QRgb background = picture::rgbFromColour(picture1Model_.backColor());
    const std::optional<int> level = runPreparation(
        QStringLiteral("Black and white"), QStringLiteral("&Level:"), picture::kLowestLevel,
        picture::kHighestLevel, picture::otsuLevel(surface), [&surface, background](int value) {
            return picture::blackAndWhite(surface, value, background);
        });
    if (!level) return;
    controls_.Label5->setText(
        QStringLiteral("Black and white at level %1: %2.")
            .arg(*level)
            .arg(coloursText(picture::colourCount(picture1Model_.surface()))));
}

void Form1::FlatColours_Click() {
    const QImage surface = picture1Model_.surface().copy();
    const std::vector<picture::ColourCount> counts = picture::colourCounts(surface);
    const std::optional<int> number =
        runPreparation(QStringLiteral("Flat colours"), QStringLiteral("&Colours:"),
                       picture::kFewestFlatColours, picture::kMostFlatColours,
                       picture::suitedColourCount(counts), [&surface, &counts](int value) {
                           return picture::flattened(surface, picture::flatPalette(counts, value));
                       });
    if (!number) return;
    controls_.Label5->setText(
        QStringLiteral("Flat colours: %1.")
            .arg(coloursText(picture::colourCount(picture1Model_.surface()))));
}

void Form1::FitToBox_Click() {
    if (LoadedPicture.isNull()) {
        controls_.Label5->setText(QStringLiteral("Load a picture first, then fit it to the box."));
        return;
    }
    const QImage fitted = picture::fitted(LoadedPicture, picture1Model_.surface().size());
    showPrepared(fitted);
    controls_.Label5->setText(QStringLiteral("Fitted to the box: %1 × %2 pixels, from %3 × %4.")
                                  .arg(fitted.width())
                                  .arg(fitted.height())
                                  .arg(LoadedPicture.width())
                                  .arg(LoadedPicture.height()));
}

void Form1::Mirror_Click() {
    showPrepared(picture::mirrored(picture1Model_.surface()));
    controls_.Label5->setText(
        QStringLiteral("Mirrored left for right, for the back of the board."));
}

void Form1::OriginalPicture_Click() {
    if (LoadedPicture.isNull()) {
        controls_.Label5->setText(QStringLiteral("No picture is loaded yet."));
        return;
    }
    showPrepared(LoadedPicture);
    controls_.Label5->setText(QStringLiteral("The picture as loaded: %1 × %2 pixels.")
                                  .arg(LoadedPicture.width())
                                  .arg(LoadedPicture.height()));
}

std::optional<int> Form1::runPreparation(const QString& title, const QString& label, int minimum,
                                         int maximum, int start,
                                         const std::function<QImage(int)>& prepare) {
    const picture::PictureBox before = picture1Model_;
    LevelDialog dialog(title, label, minimum, maximum, start, this);
    // Below the picture, over the controls, so that the whole preview can be seen.
    const QRect picture = controls_.Picture1->geometry();
    dialog.move(mapToGlobal(QPoint(picture.left(), picture.bottom() + 8)));
    // The preview runs inside the dialog's loop, out of reach of the handler's boundary.
    dialog.setPreview(
        [this, &prepare](int value) { runHandler([&] { showPrepared(prepare(value)); }); });
    if (prompts_.runDialog(dialog) != QDialog::Accepted) {
        picture1Model_ = before;
        controls_.Picture1->repaint();
        return std::nullopt;
    }
    // Every value, the kept one last, has been shown already.
    return dialog.value();
}

void Form1::showPrepared(const QImage& prepared) {
    picture::showPrepared(picture1Model_, prepared);
    controls_.Picture1->repaint();
}

void Form1::suggestFlatColours(picture::Colour picked) {
    // The pick itself is one point; the look at the whole picture waits until the window has
    // shown it, and a run of picks meanwhile is looked at once, for the last of them.
    const bool queued = suggestionFor_.has_value();
    suggestionFor_ = picked;
    if (queued) return;
    QTimer::singleShot(0, this, [this] {
        const picture::Colour colour = *std::exchange(suggestionFor_, std::nullopt);
        runHandler([this, colour] { showSuggestion(colour); });
    });
}

void Form1::showSuggestion(picture::Colour picked) {
    const QImage& surface = picture1Model_.surface();
    if (picked != picture::kOutside && !picture::isFlat(surface)) {
        const picture::ShadeCount shades =
            picture::shadesNear(surface, picture::rgbFromColour(picked));
        if (picture::suggestsFlatColours(shades)) {
            suggestion_ = QStringLiteral(
                              "This colour covers %1 pixels; %2 more have a shade close "
                              "to it. Right-click the picture to make its colours flat.")
                              .arg(countText(shades.exact), countText(shades.close));
            controls_.Label5->setText(suggestion_);
            return;
        }
    }
    // An earlier pick's suggestion would speak of another colour.
    if (!suggestion_.isEmpty() && controls_.Label5->text() == suggestion_)
        controls_.Label5->setText(QString::fromLatin1(kInstructionText));
}

}  // namespace bitlay::app

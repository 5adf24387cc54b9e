#include "app/form1.h"

#include <QAbstractItemView>
#include <QCloseEvent>
#include <QCompleter>
#include <QCoreApplication>
#include <QFileInfo>
#include <QFont>
#include <QGridLayout>
#include <QGuiApplication>
#include <QImageReader>
#include <QMessageBox>
#include <QPalette>
#include <QScreen>
#include <QThread>
#include <exception>
#include <string>

#include "app/editor_wait.h"
#include "dbx/design_link.h"
#include "dbx/status_message.h"
#include "numeric/numeric.h"
#include "numeric/scope_exit.h"
#include "picture/load.h"
#include "picture/rotate.h"
#include "transfer/transfer.h"

namespace bitlay::app {
namespace {

QString statusText(dbx::DbxStatusCode status) {
    return QString::fromStdU16String(dbx::StatusMessage(status));
}

// The entry of a layer: the name field up to its first NUL, or all of it; nothing is trimmed.
QString layerEntryText(const dbx::LayerRecord& record) {
    qsizetype length = 0;
    while (length < static_cast<qsizetype>(dbx::kLayerNameLength) && record.layerName[length] != 0)
        ++length;
    return QString::fromUtf16(record.layerName, length);
}

QString withFullStop(QString text) {
    if (!text.endsWith(QLatin1Char('.'))) text += QLatin1Char('.');
    return text;
}

// A plain sentence for the exception being handled.
QString describeCurrentException() noexcept {
    try {
        throw;
    } catch (const numeric::OverflowError& error) {
        return QStringLiteral("A number went out of range, so the operation stopped (%1).")
            .arg(QString::fromUtf8(error.what()));
    } catch (const numeric::FloatingPointError& error) {
        return QStringLiteral("A calculation could not be done, so the operation stopped (%1).")
            .arg(QString::fromUtf8(error.what()));
    } catch (const dbx::LinkError& error) {
        return withFullStop(QString::fromUtf8(error.what()));
    } catch (const picture::LoadError& error) {
        return withFullStop(QString::fromUtf8(error.what()));
    } catch (const std::exception& error) {
        return QStringLiteral("Something went wrong, so the operation stopped (%1).")
            .arg(QString::fromUtf8(error.what()));
    } catch (...) {
        return QStringLiteral("Something went wrong, so the operation stopped.");
    }
}

// BMP first, as the dialog is for BMP files, with SVG beside it, the form logos come in; then
// every format the loader reads.
QStringList pictureNameFilters() {
    QStringList patterns;
    for (const QByteArray& format : QImageReader::supportedImageFormats())
        patterns << QStringLiteral("*.%1").arg(QString::fromLatin1(format));
    return {QStringLiteral("BMP and SVG files (*.bmp *.svg)"),
            QStringLiteral("All pictures (%1)").arg(patterns.join(QLatin1Char(' ')))};
}

}  // namespace

Form1::Form1(UserPrompts prompts, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      prompts_(std::move(prompts)) {
    if (!prompts_.showMessage) prompts_.showMessage = &Form1::defaultShowMessage;
    if (!prompts_.chooseFile) prompts_.chooseFile = &Form1::defaultChooseFile;
    if (!prompts_.runDialog) prompts_.runDialog = [](QDialog& dialog) { return dialog.exec(); };
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromLatin1(kCaption));
    // A fixed single frame: the client area cannot be resized.
    setFixedSize(pixels(kFormWidth), pixels(kFormHeight));
    // The window's default font, which List2, Label5 and Label8 use: the stand-in for the classic
    // toolkit's MS Sans Serif 8.25 pt, so the instruction text fits Label5 as designed.
    setFont(regularFont(kSans, 8.25));

    buildControls(*this, picture1Model_, picture2Model_);
    controls_ = findControls(*this);
    controls_.Picture1->setFocus();

    // Qt's own dialog offers completions of a typed name in a pop-up. Enter confirms the name and
    // closes the dialog, but the completer hides its pop-up only once the name box has lost the
    // focus, and under a window manager the focus moves later, after the dialog is gone: the
    // pop-up stays on screen and swallows the next click anywhere. However the dialog ends, its
    // pop-ups end with it.
    connect(controls_.CommonDialog1, &QDialog::finished, this,
            [this] { closeCompletionPopups(*controls_.CommonDialog1); });

    const auto onClick = [this](QPushButton* button, void (Form1::*handler)()) {
        connect(button, &QPushButton::clicked, this,
                [this, handler] { runHandler([this, handler] { (this->*handler)(); }); });
    };
    onClick(controls_.Command1, &Form1::Command1_Click);
    onClick(controls_.Command2, &Form1::Command2_Click);
    onClick(controls_.Command3, &Form1::Command3_Click);
    onClick(controls_.Command5, &Form1::Command5_Click);
    controls_.Picture1->setMouseDownHandler(
        [this](std::int16_t button, std::int16_t shift, float x, float y) {
            runHandler([&] { Picture1_MouseDown(button, shift, x, y); });
        });
    buildPictureMenu();

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
}

void Form1::Form_Load() {
    try {
        SetTopMostWindow(*this, true);
        OpenDesignLink();
        if (dbx::link::DbxStatus != 0) {
            const QString text = statusText(dbx::link::DbxStatus);
            controls_.Label5->setText(text);
            prompts_.showMessage(nullptr, text);
            hide();
            endProgram(1);
            return;
        }

        // One record serves every lookup: each call gets it as the previous one left it.
        dbx::LayerRecord record;
        std::int32_t layerId = 1;
        while (dbx::TGetLayerById(dbx::link::DesignContext, layerId, record) == 0) {
            const QString name = layerEntryText(record);
            controls_.List2->addItem(name);
            // Names longer than the list are cut at its edge; the tooltip shows them whole.
            controls_.List2->item(controls_.List2->count() - 1)->setToolTip(name);
            layerId = numeric::add32(layerId, 1);
        }
        // The first failed lookup ends the list; its status stays in DbxStatus, unreported. With
        // no layers at all there is nothing to select, and the transfer refuses for want of one.
        if (controls_.List2->count() > 0) controls_.List2->setCurrentRow(0);

        controls_.Text3->setText(QStringLiteral("1"));
        controls_.Text1->setText(QStringLiteral("0.00"));
        controls_.Text2->setText(QStringLiteral("0.00"));
        controls_.Label5->setText(QString::fromLatin1(kInstructionText));
    } catch (...) {
        // Start-up has no window to go on with: say why, let go of the design, and end.
        const QString text = describeCurrentException();
        controls_.Label5->setText(text);
        prompts_.showMessage(nullptr, text);
        if (linkOpen_) runHandler([this] { CloseDesignLink(); });
        hide();
        endProgram(1);
    }
}

std::optional<QString> Form1::defaultChooseFile(QFileDialog& dialog) {
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

void Form1::closeCompletionPopups(QFileDialog& dialog) {
    for (QCompleter* completer : dialog.findChildren<QCompleter*>()) {
        // The pop-up is a window of its own, not a child of the dialog.
        if (QAbstractItemView* popup = completer->popup(); popup && popup->isVisible())
            popup->hide();
    }
}

void Form1::Command1_Click() {
    controls_.CommonDialog1->setDefaultSuffix(QStringLiteral("bmp"));
    controls_.CommonDialog1->setWindowTitle(QStringLiteral("Open BMP file."));
    controls_.CommonDialog1->setAcceptMode(QFileDialog::AcceptOpen);
    controls_.CommonDialog1->setFileMode(QFileDialog::ExistingFile);
    const QStringList filters = pictureNameFilters();
    // Set once, so that a filter the user picked stays picked for the next Load.
    if (controls_.CommonDialog1->nameFilters() != filters)
        controls_.CommonDialog1->setNameFilters(filters);
    // The dialog opens where the last picture came from, with its name alone, selected, so that
    // typing replaces it.
    if (!lastChosenFile_.isEmpty()) {
        const QFileInfo last(lastChosenFile_);
        controls_.CommonDialog1->setDirectory(last.absolutePath());
        controls_.CommonDialog1->selectFile(last.fileName());
    }
    // A cancel leaves everything as it was; reloading the last file would throw away a rotation.
    const std::optional<QString> fileName = prompts_.chooseFile(*controls_.CommonDialog1);
    if (!fileName) return;
    lastChosenFile_ = *fileName;
    // A failed load throws here and leaves the picture and the scale as they were.
    QImage picture = picture::loadPicture(*fileName);
    LoadedPicture = std::move(picture);
    picture1Model_.setPicture(LoadedPicture);
    picture::setWorkingScale(picture1Model_);
    controls_.Picture1->repaint();
}

void Form1::Command2_Click() {
    // Quit ends the program whatever the detach gives, a link failure included.
    runHandler([this] { CloseDesignLink(); });
    endProgram(0);
}

void Form1::Command3_Click() {
    const std::string xText = controls_.Text1->text().toStdString();
    const std::string yText = controls_.Text2->text().toStdString();
    const std::string scaleText = controls_.Text3->text().toStdString();
    const transfer::TransferInput input{xText, yText, scaleText, ListIndices(*controls_.List2),
                                        controls_.Label8->BackColor()};
    const transfer::LineSink placeLine = [](dbx::LineRecord& record) {
        return dbx::TPlaceLine(dbx::link::DesignContext, record);
    };
    // The caption is the only sign of progress, so it is painted at once, inside the handler.
    // Some 35 rows in a row show the same percentage: painting it again would show nothing new
    // and cost the scan nine tenths of its time, which the design sees as gaps between lines.
    const transfer::ProgressSink showProgress = [this](const std::string& caption) {
        const QString text = QString::fromStdString(caption);
        if (text == controls_.Command3->text()) return;
        controls_.Command3->setText(text);
        controls_.Command3->repaint();
    };
    transfer::TransferResult result;
    try {
        // The button gets its caption back however the transfer ends, before anything is shown.
        const numeric::ScopeExit restoreCaption([this] {
            controls_.Command3->setText(QString::fromLatin1(transfer::kTransferCaption));
        });
        result = transfer::Transfer(picture1Model_, input, placeLine, showProgress);
    } catch (const transfer::TransferStopped& stopped) {
        // Which input went out of range, in the message line as well as in the box.
        const QString sentence = QString::fromStdU16String(transfer::stoppedReport(stopped));
        controls_.Label5->setText(sentence);
        prompts_.showMessage(this, sentence);
        return;
    }
    switch (result.outcome) {
        case transfer::TransferOutcome::kScaleRefused:
            controls_.Label5->setText(QString::fromLatin1(transfer::kScaleMessage));
            return;
        case transfer::TransferOutcome::kLayerRefused:
            controls_.Label5->setText(QString::fromLatin1(transfer::kLayerMessage));
            return;
        case transfer::TransferOutcome::kCompleted:
            controls_.Label5->setText(QString::fromStdU16String(transfer::completionReport(
                result, [](dbx::DbxStatusCode status) { return dbx::StatusMessage(status); })));
            return;
    }
}

void Form1::Command5_Click() {
    // The caption is the only sign of progress, so it is painted at once, inside the handler.
    const picture::ShowProgress showProgress = [this](const std::string& caption) {
        controls_.Command5->setText(QString::fromStdString(caption));
        controls_.Command5->repaint();
    };
    // The pixels written so far are shown however the rotation ends; a failed pass has already
    // given Picture1 its working scale and the button its caption.
    const numeric::ScopeExit showPicture([this] { controls_.Picture1->repaint(); });
    picture::rotate90(picture1Model_, picture2Model_, showProgress);
}

void Form1::Picture1_MouseDown(std::int16_t Button, std::int16_t Shift, float X, float Y) {
    (void)Shift;  // a pick with Shift, Ctrl or Alt held picks as usual
    if (Button != 1) return;
    // Unrounded: the pointer hands over the centre of the pixel, which Point maps back to it.
    const picture::Colour picked = picture1Model_.Point(X, Y);
    controls_.Label8->setBackColor(picked);
    suggestFlatColours(picked);
}

std::int32_t Form1::SetTopMostWindow(QWidget& hWnd, bool Topmost) {
    const bool visible = hWnd.isVisible();
    hWnd.setWindowFlag(Qt::WindowStaysOnTopHint, Topmost);
    // Changing a window flag hides a shown window; it comes back at its place.
    if (visible) hWnd.show();
    return 1;
}

void Form1::OpenDesignLink() {
    // Every DBX call leaves its status in DbxStatus. The editor may be slow to answer: the call
    // runs beside the window, which says so after a second and lets the user stop waiting.
    auto opening = std::make_unique<dbx::DesignOpening>(0, 16000, u"");
    if (waitForEditor(*opening)) {
        opening->finish(dbx::link::DesignContext);
    } else {
        // Stopped waiting: the editor did not answer. The call goes on in the library until it
        // returns; the program waits for that as it ends, and lets go of a design it attached.
        dbx::link::DbxStatus = kNoAnswerStatus;
        unansweredOpening_ = std::move(opening);
    }
    linkOpen_ = dbx::link::DbxStatus == 0;
    if (dbx::link::DbxStatus != 0) controls_.Label5->setText(statusText(dbx::link::DbxStatus));
}

void Form1::CloseDesignLink() {
    // Marked closed first: a failed detach is not noticed and not tried again.
    linkOpen_ = false;
    dbx::TCloseDesign(dbx::link::DesignContext, u"");
}

std::vector<std::int32_t> Form1::ListIndices(const QListWidget& list) {
    // Row by row, so the positions come in the list's order and not in the order of the clicks.
    std::vector<std::int32_t> selected;
    for (int row = 0; row < list.count(); ++row)
        if (list.item(row)->isSelected()) selected.push_back(row);
    return selected;
}

void Form1::defaultShowMessage(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Bitlay"), text, QMessageBox::Ok, parent);
    // The window is kept above others, and so may another Bitlay's be: a box in the normal band
    // would open hidden behind them, and a start-up box has no window of its own to come with.
    box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    // Wide enough for the window manager to show the title of a short text ("Server Busy").
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
        grid->addItem(new QSpacerItem(220, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
    box.exec();
}

void Form1::closeEvent(QCloseEvent* event) {
    // Closing through the window manager detaches as Quit does.
    if (!exitStatus_ && linkOpen_) runHandler([this] { CloseDesignLink(); });
    event->accept();
}

void Form1::reportCurrentException() noexcept {
    const QString text = describeCurrentException();
    try {
        prompts_.showMessage(this, text);
    } catch (...) {
        // Nothing is left to tell the user with; the program goes on.
    }
}

void Form1::endProgram(int status) {
    exitStatus_ = status;
    hide();
    // Leaves the event loop once this handler returns. Before the loop runs (start-up), main()
    // reads exitStatus() instead: an exit asked for then would make every later loop, a message
    // box's included, return at once.
    if (QThread::currentThread()->loopLevel() > 0) QCoreApplication::exit(status);
}

}  // namespace bitlay::app

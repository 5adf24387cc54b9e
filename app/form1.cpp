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

#include "dbx/design_link.h"
#include "dbx/status_message.h"
#include "numeric/numeric.h"
#include "picture/load.h"
#include "picture/rotate.h"
#include "transfer/transfer.h"

namespace bitlay::app {
namespace {

// Window geometry is laid out in twips; 15 twips make a pixel at 96 dots per inch.
int pixels(int twips) { return numeric::roundToInt32(twips / 15.0); }

void place(QWidget* control, int left, int top, int width, int height) {
    control->setGeometry(pixels(left), pixels(top), pixels(width), pixels(height));
}

QFont regularFont(const char* family, double points) {
    QFont font(QString::fromLatin1(family));
    font.setPointSizeF(points);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    return font;
}

// The designed fonts have metric-compatible stand-ins that ship with the system.
QFont serif(double points) { return regularFont("Liberation Serif", points); }
QFont sans(double points) { return regularFont("Liberation Sans", points); }

void setTextColour(QWidget* control, const QColor& colour) {
    QPalette colours = control->palette();
    colours.setColor(QPalette::WindowText, colour);
    control->setPalette(colours);
}

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

Form1::Form1(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromLatin1(kCaption));
    // A fixed single frame: the client area is 4935 x 7320 twips and cannot be resized.
    setFixedSize(pixels(4935), pixels(7320));
    // The window's default font, which List2, Label5 and Label8 use: the stand-in for the classic
    // toolkit's MS Sans Serif 8.25 pt, so the instruction text fits Label5 as designed.
    setFont(sans(8.25));

    const auto button = [this](const char* name, const char* caption) {
        auto* control = new QPushButton(QString::fromLatin1(caption), this);
        control->setObjectName(QString::fromLatin1(name));
        control->setFont(serif(14.25));
        // No button reacts to Enter or Escape by itself.
        control->setAutoDefault(false);
        control->setDefault(false);
        return control;
    };
    const auto label = [this](const char* name, const char* caption, Qt::Alignment alignment) {
        auto* control = new QLabel(QString::fromLatin1(caption), this);
        control->setObjectName(QString::fromLatin1(name));
        control->setAlignment(alignment | Qt::AlignTop);
        control->setWordWrap(true);
        return control;
    };
    const auto textBox = [this](const char* name) {
        auto* control = new QLineEdit(this);
        control->setObjectName(QString::fromLatin1(name));
        control->setFont(sans(12));
        return control;
    };

    Picture1 = new PictureBoxWidget(picture1Model_, this);
    Picture1->setObjectName(QStringLiteral("Picture1"));
    Picture1->setFocusPolicy(Qt::StrongFocus);
    place(Picture1, 120, 120, 4695, 3495);

    Command1 = button("Command1", "Load");
    place(Command1, 120, 3840, 1575, 425);
    Command2 = button("Command2", "Quit");
    place(Command2, 3360, 3840, 1455, 425);
    Command3 = button("Command3", "Transfer Bitmap to PCB");
    place(Command3, 120, 4320, 4695, 425);

    List2 = new QListWidget(this);
    List2->setObjectName(QStringLiteral("List2"));
    List2->setSelectionMode(QAbstractItemView::SingleSelection);
    List2->setSortingEnabled(false);
    // Long names are cut at the edge, as in a classic list box, not scrolled sideways.
    List2->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    place(List2, 1920, 5040, 1215, 1230);

    Label1 = label("Label1", "Left Click to Select Color", Qt::AlignHCenter);
    Label1->setFont(serif(9));
    place(Label1, 240, 4800, 1215, 495);
    Label2 = label("Label2", "Select Layer", Qt::AlignHCenter);
    Label2->setFont(serif(9));
    place(Label2, 1920, 4800, 1215, 255);

    Text1 = textBox("Text1");
    place(Text1, 3720, 5040, 975, 375);
    Text2 = textBox("Text2");
    place(Text2, 3720, 5520, 975, 375);

    Label3 = label("Label3", "X:", Qt::AlignLeft);
    Label3->setFont(serif(15.75));
    place(Label3, 3360, 5040, 375, 375);
    Label4 = label("Label4", "Y:", Qt::AlignLeft);
    Label4->setFont(serif(15.75));
    place(Label4, 3360, 5520, 375, 375);

    Label5 = label("Label5", "", Qt::AlignLeft);
    setTextColour(Label5, QColor(255, 128, 128));
    place(Label5, 120, 6480, 4575, 495);

    Text3 = textBox("Text3");
    place(Text3, 4200, 6000, 495, 375);
    Label6 = label("Label6", "Scale :", Qt::AlignLeft);
    Label6->setFont(serif(15.75));
    place(Label6, 3240, 6000, 855, 375);

    // The scratch box lies under Picture1 and is never shown.
    Picture2 = new PictureBoxWidget(picture2Model_, this);
    Picture2->setObjectName(QStringLiteral("Picture2"));
    place(Picture2, 120, 120, 4695, 3615);
    Picture2->setVisible(false);

    Command5 = button("Command5", "Rotate 90");
    place(Command5, 1800, 3840, 1455, 425);

    Label7 = label("Label7", "Bitlay 2.0 - bitmap artwork to PCB line items", Qt::AlignHCenter);
    Label7->setFont(serif(9.75));
    Label7->setAutoFillBackground(true);
    {
        QPalette colours = Label7->palette();
        colours.setColor(QPalette::WindowText, QColor(255, 255, 255));
        colours.setColor(QPalette::Window, QColor(128, 128, 128));
        Label7->setPalette(colours);
    }
    place(Label7, 0, 7080, 4935, 255);

    Label8 = new SwatchLabel(this);
    Label8->setObjectName(QStringLiteral("Label8"));
    Label8->setWordWrap(true);
    place(Label8, 240, 5400, 1335, 495);

    CommonDialog1 = new QFileDialog(this);
    CommonDialog1->setObjectName(QStringLiteral("CommonDialog1"));
    // Qt's own dialog offers completions of a typed name in a pop-up. Enter confirms the name and
    // closes the dialog, but the completer hides its pop-up only once the name box has lost the
    // focus, and under a window manager the focus moves later, after the dialog is gone: the
    // pop-up stays on screen and swallows the next click anywhere. However the dialog ends, its
    // pop-ups end with it.
    connect(CommonDialog1, &QDialog::finished, this,
            [this] { closeCompletionPopups(*CommonDialog1); });

    QWidget::setTabOrder(Picture1, Command1);
    QWidget::setTabOrder(Command1, Command2);
    QWidget::setTabOrder(Command2, Command3);
    QWidget::setTabOrder(Command3, List2);
    QWidget::setTabOrder(List2, Text1);
    QWidget::setTabOrder(Text1, Text2);
    QWidget::setTabOrder(Text2, Text3);
    QWidget::setTabOrder(Text3, Command5);
    Picture1->setFocus();

    connect(Command1, &QPushButton::clicked, this,
            [this] { runHandler([this] { Command1_Click(); }); });
    connect(Command2, &QPushButton::clicked, this,
            [this] { runHandler([this] { Command2_Click(); }); });
    connect(Command3, &QPushButton::clicked, this,
            [this] { runHandler([this] { Command3_Click(); }); });
    connect(Command5, &QPushButton::clicked, this,
            [this] { runHandler([this] { Command5_Click(); }); });
    Picture1->setMouseDownHandler(
        [this](std::int16_t button, std::int16_t shift, float x, float y) {
            runHandler([&] { Picture1_MouseDown(button, shift, x, y); });
        });

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
            Label5->setText(text);
            showMessage(nullptr, text);
            hide();
            endProgram(1);
            return;
        }

        // One record serves every lookup: each call gets it as the previous one left it.
        dbx::LayerRecord record;
        std::int32_t layerId = 1;
        while (dbx::TGetLayerById(dbx::link::DesignContext, layerId, record) == 0) {
            const QString name = layerEntryText(record);
            List2->addItem(name);
            // Names longer than the list are cut at its edge; the tooltip shows them whole.
            List2->item(List2->count() - 1)->setToolTip(name);
            layerId = numeric::add32(layerId, 1);
        }
        // The first failed lookup ends the list; its status stays in DbxStatus, unreported. With
        // no layers at all there is nothing to select, and the transfer refuses for want of one.
        if (List2->count() > 0) List2->setCurrentRow(0);

        Text3->setText(QStringLiteral("1"));
        Text1->setText(QStringLiteral("0.00"));
        Text2->setText(QStringLiteral("0.00"));
        Label5->setText(QString::fromLatin1(kInstructionText));
    } catch (...) {
        // Start-up has no window to go on with: say why, let go of the design, and end.
        const QString text = describeCurrentException();
        Label5->setText(text);
        showMessage(nullptr, text);
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
    CommonDialog1->setDefaultSuffix(QStringLiteral("bmp"));
    CommonDialog1->setWindowTitle(QStringLiteral("Open BMP file."));
    CommonDialog1->setAcceptMode(QFileDialog::AcceptOpen);
    CommonDialog1->setFileMode(QFileDialog::ExistingFile);
    const QStringList filters = pictureNameFilters();
    // Set once, so that a filter the user picked stays picked for the next Load.
    if (CommonDialog1->nameFilters() != filters) CommonDialog1->setNameFilters(filters);
    // The dialog opens where the last picture came from, with its name alone, selected, so that
    // typing replaces it.
    if (!lastChosenFile_.isEmpty()) {
        const QFileInfo last(lastChosenFile_);
        CommonDialog1->setDirectory(last.absolutePath());
        CommonDialog1->selectFile(last.fileName());
    }
    // A cancel leaves everything as it was; reloading the last file would throw away a rotation.
    const std::optional<QString> fileName = chooseFile(*CommonDialog1);
    if (!fileName) return;
    lastChosenFile_ = *fileName;
    // A failed load throws here and leaves the picture and the scale as they were.
    QImage picture = picture::loadPicture(*fileName);
    LoadedPicture = std::move(picture);
    picture1Model_.setPicture(LoadedPicture);
    picture::setWorkingScale(picture1Model_);
    Picture1->repaint();
}

void Form1::Command2_Click() {
    // Quit ends the program whatever the detach gives, a link failure included.
    runHandler([this] { CloseDesignLink(); });
    endProgram(0);
}

void Form1::Command3_Click() {
    const std::string xText = Text1->text().toStdString();
    const std::string yText = Text2->text().toStdString();
    const std::string scaleText = Text3->text().toStdString();
    const transfer::TransferInput input{xText, yText, scaleText, ListIndex(*List2),
                                        Label8->BackColor()};
    const transfer::LineSink placeLine = [](dbx::LineRecord& record) {
        return dbx::TPlaceLine(dbx::link::DesignContext, record);
    };
    // The caption is the only sign of progress, so it is painted at once, inside the handler.
    // Some 35 rows in a row show the same percentage: painting it again would show nothing new
    // and cost the scan nine tenths of its time, which the design sees as gaps between lines.
    const transfer::ProgressSink showProgress = [this](const std::string& caption) {
        const QString text = QString::fromStdString(caption);
        if (text == Command3->text()) return;
        Command3->setText(text);
        Command3->repaint();
    };
    const auto restoreCaption = [this] {
        Command3->setText(QString::fromLatin1(transfer::kTransferCaption));
    };
    transfer::TransferResult result;
    try {
        result = transfer::Transfer(picture1Model_, input, placeLine, showProgress);
    } catch (const transfer::TransferStopped& stopped) {
        restoreCaption();
        // Which input went out of range, in the message line as well as in the box.
        const QString sentence = QString::fromStdU16String(transfer::stoppedReport(stopped));
        Label5->setText(sentence);
        showMessage(this, sentence);
        return;
    } catch (...) {
        restoreCaption();
        throw;
    }
    switch (result.outcome) {
        case transfer::TransferOutcome::kScaleRefused:
            Label5->setText(QString::fromLatin1(transfer::kScaleMessage));
            return;
        case transfer::TransferOutcome::kLayerRefused:
            Label5->setText(QString::fromLatin1(transfer::kLayerMessage));
            return;
        case transfer::TransferOutcome::kCompleted:
            restoreCaption();
            Label5->setText(QString::fromStdU16String(transfer::completionReport(
                result, [](dbx::DbxStatusCode status) { return dbx::StatusMessage(status); })));
            return;
    }
}

void Form1::Command5_Click() {
    // The caption is the only sign of progress, so it is painted at once, inside the handler.
    const picture::ShowProgress showProgress = [this](const std::string& caption) {
        Command5->setText(QString::fromStdString(caption));
        Command5->repaint();
    };
    // A failed pass has already given Picture1 its working scale and the button its caption; the
    // pixels written so far are shown either way.
    try {
        picture::rotate90(picture1Model_, picture2Model_, showProgress);
    } catch (...) {
        Picture1->repaint();
        throw;
    }
    Picture1->repaint();
}

void Form1::Picture1_MouseDown(std::int16_t Button, std::int16_t Shift, float X, float Y) {
    (void)Shift;  // a pick with Shift, Ctrl or Alt held picks as usual
    if (Button != 1) return;
    // Unrounded: the pointer hands over the centre of the pixel, which Point maps back to it.
    Label8->setBackColor(picture1Model_.Point(X, Y));
}

std::int32_t Form1::SetTopMostWindow(QWidget& hWnd, bool Topmost) {
    const bool visible = hWnd.isVisible();
    hWnd.setWindowFlag(Qt::WindowStaysOnTopHint, Topmost);
    // Changing a window flag hides a shown window; it comes back at its place.
    if (visible) hWnd.show();
    return 1;
}

void Form1::OpenDesignLink() {
    dbx::link::DbxStatus = dbx::TOpenDesign(0, 16000, u"", dbx::link::DesignContext);
    linkOpen_ = dbx::link::DbxStatus == 0;
    if (dbx::link::DbxStatus != 0) Label5->setText(statusText(dbx::link::DbxStatus));
}

void Form1::CloseDesignLink() {
    // Marked closed first: a failed detach is not noticed and not tried again.
    linkOpen_ = false;
    dbx::link::DbxStatus = dbx::TCloseDesign(dbx::link::DesignContext, u"");
}

int Form1::ListIndex(const QListWidget& list) {
    const QList<QListWidgetItem*> selected = list.selectedItems();
    return selected.isEmpty() ? -1 : list.row(selected.first());
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
        showMessage(this, text);
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

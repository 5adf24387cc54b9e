#include "app/form1_layout.h"

#include <QAbstractItemView>
#include <QFont>
#include <QPalette>
#include <stdexcept>
#include <string>

#include "numeric/numeric.h"

namespace bitlay::app {

namespace {

constexpr ControlFont kButtonFont{kSerif, 14.25};
constexpr ControlFont kCaptionFont{kSerif, 9};
constexpr ControlFont kNameFont{kSerif, 15.75};
constexpr ControlFont kCreditFont{kSerif, 9.75};
constexpr ControlFont kNumberFont{kSans, 12};
constexpr ControlFont kWindowFont{};

using K = ControlKind;

}  // namespace

// clang-format off
const ControlRow kControlRows[18] = {
    {"Picture1", K::PictureBox,       120,  120,  4695, 3495, "", kWindowFont},
    {"Command1", K::CommandButton,    120,  3840, 1575, 425,  "Load", kButtonFont},
    {"Command2", K::CommandButton,    3360, 3840, 1455, 425,  "Quit", kButtonFont},
    {"Command3", K::CommandButton,    120,  4320, 4695, 425,  "Transfer Bitmap to PCB",
     kButtonFont},
    {"List2",    K::ListBox,          1920, 5040, 1215, 1230, "", kWindowFont},
    {"Label1",   K::CentredLabel,     240,  4800, 1215, 495,  "Left Click to Select Color",
     kCaptionFont},
    {"Label2",   K::CentredLabel,     1920, 4800, 1215, 255,  "Select Layer", kCaptionFont},
    {"Text1",    K::TextBox,          3720, 5040, 975,  375,  "", kNumberFont},
    {"Text2",    K::TextBox,          3720, 5520, 975,  375,  "", kNumberFont},
    {"Label3",   K::Label,            3360, 5040, 375,  375,  "X:", kNameFont},
    {"Label4",   K::Label,            3360, 5520, 375,  375,  "Y:", kNameFont},
    {"Label5",   K::Label,            120,  6480, 4575, 495,  "", kWindowFont},
    {"Text3",    K::TextBox,          4200, 6000, 495,  375,  "", kNumberFont},
    {"Label6",   K::Label,            3240, 6000, 855,  375,  "Scale :", kNameFont},
    {"Picture2", K::HiddenPictureBox, 120,  120,  4695, 3615, "", kWindowFont},
    {"Command5", K::CommandButton,    1800, 3840, 1455, 425,  "Rotate 90", kButtonFont},
    {"Label7",   K::CentredLabel,     0,    7080, 4935, 255,
     "Bitlay 2.0 - bitmap artwork to PCB line items", kCreditFont},
    {"Label8",   K::Swatch,           240,  5400, 1335, 495,  "", kWindowFont},
};
// clang-format on

int pixels(int twips) { return numeric::roundToInt32(twips / 15.0); }

QFont regularFont(const char* family, double points) {
    QFont font(QString::fromLatin1(family));
    font.setPointSizeF(points);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    return font;
}

namespace {

QLabel* makeLabel(QWidget& form, const ControlRow& row, Qt::Alignment alignment) {
    auto* label = new QLabel(QString::fromLatin1(row.caption), &form);
    label->setAlignment(alignment | Qt::AlignTop);
    label->setWordWrap(true);
    return label;
}

QWidget* makeControl(QWidget& form, const ControlRow& row, picture::PictureBox& workingPicture,
                     picture::PictureBox& scratchPicture) {
    switch (row.kind) {
        case ControlKind::PictureBox: {
            auto* box = new PictureBoxWidget(workingPicture, &form);
            box->setFocusPolicy(Qt::StrongFocus);
            return box;
        }
        case ControlKind::HiddenPictureBox: {
            // The scratch box lies under Picture1 and is never shown.
            auto* box = new PictureBoxWidget(scratchPicture, &form);
            box->setVisible(false);
            return box;
        }
        case ControlKind::CommandButton: {
            auto* button = new QPushButton(QString::fromLatin1(row.caption), &form);
            // No button reacts to Enter or Escape by itself.
            button->setAutoDefault(false);
            button->setDefault(false);
            return button;
        }
        case ControlKind::ListBox: {
            auto* list = new QListWidget(&form);
            // A click chooses one layer; Ctrl and Shift add more, for one transfer onto several.
            list->setSelectionMode(QAbstractItemView::ExtendedSelection);
            list->setSortingEnabled(false);
            // Long names are cut at the edge, as in a classic list box, not scrolled sideways.
            list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            return list;
        }
        case ControlKind::Label:
            return makeLabel(form, row, Qt::AlignLeft);
        case ControlKind::CentredLabel:
            return makeLabel(form, row, Qt::AlignHCenter);
        case ControlKind::TextBox:
            return new QLineEdit(QString::fromLatin1(row.caption), &form);
        case ControlKind::Swatch: {
            auto* swatch = new SwatchLabel(&form);
            swatch->setWordWrap(true);
            return swatch;
        }
    }
    throw std::logic_error("a control of no known kind");
}

void setColours(QWidget& control, const QColor& text, const QColor& background) {
    QPalette colours = control.palette();
    colours.setColor(QPalette::WindowText, text);
    if (background.isValid()) {
        colours.setColor(QPalette::Window, background);
        control.setAutoFillBackground(true);
    }
    control.setPalette(colours);
}

template <class Control>
Control* findControl(const QWidget& form, const char* name) {
    auto* control = form.findChild<Control*>(QString::fromLatin1(name), Qt::FindDirectChildrenOnly);
    if (!control) throw std::logic_error(std::string("the window has no control ") + name);
    return control;
}

}  // namespace

void buildControls(QWidget& form, picture::PictureBox& workingPicture,
                   picture::PictureBox& scratchPicture) {
    QWidget* previousInFocusOrder = nullptr;
    for (const ControlRow& row : kControlRows) {
        QWidget* control = makeControl(form, row, workingPicture, scratchPicture);
        control->setObjectName(QString::fromLatin1(row.name));
        if (row.font.family) control->setFont(regularFont(row.font.family, row.font.points));
        control->setGeometry(pixels(row.left), pixels(row.top), pixels(row.width),
                             pixels(row.height));
        // Labels hold a place in the order but never take the focus; the hidden box neither.
        if (control->focusPolicy() == Qt::NoFocus || control->isHidden()) continue;
        if (previousInFocusOrder) QWidget::setTabOrder(previousInFocusOrder, control);
        previousInFocusOrder = control;
    }
    setColours(*findControl<QLabel>(form, "Label5"), QColor(255, 128, 128), QColor());
    setColours(*findControl<QLabel>(form, "Label7"), QColor(255, 255, 255), QColor(128, 128, 128));
    // The file-open dialog has no area of its own.
    auto* dialog = new QFileDialog(&form);
    dialog->setObjectName(QStringLiteral("CommonDialog1"));
}

Form1Controls findControls(const QWidget& form) {
    return Form1Controls{
        findControl<PictureBoxWidget>(form, "Picture1"),
        findControl<PictureBoxWidget>(form, "Picture2"),
        findControl<QPushButton>(form, "Command1"),
        findControl<QPushButton>(form, "Command2"),
        findControl<QPushButton>(form, "Command3"),
        findControl<QPushButton>(form, "Command5"),
        findControl<QListWidget>(form, "List2"),
        findControl<QLabel>(form, "Label1"),
        findControl<QLabel>(form, "Label2"),
        findControl<QLabel>(form, "Label3"),
        findControl<QLabel>(form, "Label4"),
        findControl<QLabel>(form, "Label5"),
        findControl<QLabel>(form, "Label6"),
        findControl<QLabel>(form, "Label7"),
        findControl<SwatchLabel>(form, "Label8"),
        findControl<QLineEdit>(form, "Text1"),
        findControl<QLineEdit>(form, "Text2"),
        findControl<QLineEdit>(form, "Text3"),
        findControl<QFileDialog>(form, "CommonDialog1"),
    };
}

}  // namespace bitlay::app

#pragma once

#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QWidget>

#include "app/picture_box_widget.h"
#include "app/swatch_label.h"
#include "picture/picture_box.h"

namespace bitlay::app {

// What a control of the window is; each kind is built and set up in one way.
enum class ControlKind {
    PictureBox,
    HiddenPictureBox,
    CommandButton,
    ListBox,
    Label,
    CentredLabel,
    TextBox,
    Swatch,
};

// A regular-weight font; no family means the window's default font.
struct ControlFont {
    const char* family = nullptr;
    double points = 0;
};

// One control of the window: its place and size in twips from the top-left corner of the client
// area, its caption (or starting text) and its font.
struct ControlRow {
    const char* name;
    ControlKind kind;
    int left;
    int top;
    int width;
    int height;
    const char* caption;
    ControlFont font;
};

// The window's controls in keyboard focus order, which is also the order they are stacked in.
extern const ControlRow kControlRows[18];

// The client area of the window in twips.
inline constexpr int kFormWidth = 4935;
inline constexpr int kFormHeight = 7320;

// Window geometry is laid out in twips; 15 twips make a pixel at 96 dots per inch.
int pixels(int twips);

// The designed fonts have metric-compatible stand-ins that ship with the system.
inline constexpr const char* kSerif = "Liberation Serif";
inline constexpr const char* kSans = "Liberation Sans";

// A font of regular weight, without italic, underline or strike-through.
QFont regularFont(const char* family, double points);

// The window's controls, each found by its object name.
struct Form1Controls {
    PictureBoxWidget* Picture1 = nullptr;
    PictureBoxWidget* Picture2 = nullptr;
    QPushButton* Command1 = nullptr;
    QPushButton* Command2 = nullptr;
    QPushButton* Command3 = nullptr;
    QPushButton* Command5 = nullptr;
    QListWidget* List2 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* Label7 = nullptr;
    SwatchLabel* Label8 = nullptr;
    QLineEdit* Text1 = nullptr;
    QLineEdit* Text2 = nullptr;
    QLineEdit* Text3 = nullptr;
    QFileDialog* CommonDialog1 = nullptr;
};

// Builds every row of kControlRows as a child of the window, with its colours and the focus
// order, and the file-open dialog CommonDialog1. Picture1 shows the working picture, Picture2 the
// scratch one.
void buildControls(QWidget& form, picture::PictureBox& workingPicture,
                   picture::PictureBox& scratchPicture);

// The controls of a window made by buildControls. Throws std::logic_error when one is missing or
// of another kind.
Form1Controls findControls(const QWidget& form);

}  // namespace bitlay::app

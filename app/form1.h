#pragma once

#include <QDialog>
#include <QFileDialog>
#include <QImage>
#include <QListWidget>
#include <QMenu>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/form1_layout.h"
#include "dbx/design_opening.h"
#include "picture/picture_box.h"

namespace bitlay::app {

// How the window asks the user something: a message box and the file-open dialog. An empty member
// means the real modal one (Form1::defaultShowMessage, Form1::defaultChooseFile); tests give their
// own to answer without a user.
struct UserPrompts {
    std::function<void(QWidget* parent, const QString& text)> showMessage;
    // The confirmed file, nothing after a cancel.
    std::function<std::optional<QString>(QFileDialog& dialog)> chooseFile;
    // Runs a dialog of the window modally and gives its result (QDialog::Accepted or Rejected).
    std::function<int(QDialog& dialog)> runDialog;
};

// The tool's one window: the controls, their handlers, start-up and shut-down.
class Form1 final : public QWidget {
    Q_OBJECT

  public:
    explicit Form1(UserPrompts prompts = {}, QWidget* parent = nullptr);

    // Runs before the window is first shown. After a failed attach exitStatus() is set and the
    // window must not be shown.
    void Form_Load();
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Command5_Click();
    void Picture1_MouseDown(std::int16_t Button, std::int16_t Shift, float X, float Y);

    // The picture menu, opened by a right click on Picture1 or its menu key. Each item works on
    // Picture1's surface, as Rotate 90 does, and says in Label5 what it did.
    void Picture1_ContextMenu(const QPoint& position);
    void BlackAndWhite_Click();
    void FlatColours_Click();
    void FitToBox_Click();
    void Mirror_Click();
    void OriginalPicture_Click();
    QMenu& pictureMenu() noexcept { return *pictureMenu_; }

    // Keeps the window above (or returns it among) the windows that are not kept on top; the
    // toolkit's stay-on-top hint is the portable form of the window manager's topmost band.
    // Non-zero when the request was made.
    std::int32_t SetTopMostWindow(QWidget& hWnd, bool Topmost);
    void OpenDesignLink();
    void CloseDesignLink();

    // Every handler runs inside this boundary: an arithmetic, floating-point or link failure, or
    // any other exception, ends the handler and is shown in a message box; the program goes on.
    template <class Handler>
    void runHandler(Handler&& handler) noexcept {
        try {
            handler();
        } catch (...) {
            reportCurrentException();
        }
    }

    // The program's message box: modal, titled "Bitlay", with the text and one OK button.
    static void defaultShowMessage(QWidget* parent, const QString& text);

    // Set once the program has been told to end (status 0 after Quit, 1 after a failed start-up).
    std::optional<int> exitStatus() const noexcept { return exitStatus_; }

    // Shows the file-open dialog modally and gives the confirmed file, nothing after a cancel.
    static std::optional<QString> defaultChooseFile(QFileDialog& dialog);
    // Hides the completion pop-ups of the file dialog's name box.
    static void closeCompletionPopups(QFileDialog& dialog);

    const QImage& loadedPicture() const noexcept { return LoadedPicture; }

    picture::PictureBox& picture1Model() noexcept { return picture1Model_; }
    picture::PictureBox& picture2Model() noexcept { return picture2Model_; }

    // The positions of the selected entries of a list, in the list's order; none when none is.
    static std::vector<std::int32_t> ListIndices(const QListWidget& list);

    static constexpr const char* kPictureToolTip =
        "Click the colour to transfer. Right-click to make the picture black and white, flat "
        "colours, fit or mirrored.";
    static constexpr const char* kCaption = "Bitlay Picture. - Corvane Systems - Rev : 2.0";
    static constexpr const char* kInstructionText =
        "Load Bitmap Picture ,Click on the Color to transfer,Select target PCB layer and UpperLeft "
        "coordinats on the PCB , then Transfer.";

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void reportCurrentException() noexcept;
    void endProgram(int status);
    void buildPictureMenu();
    // Runs a level dialog whose every value is shown in Picture1 at once; Esc puts back exactly
    // what Picture1 held before. The value kept, or nothing after Esc.
    std::optional<int> runPreparation(const QString& title, const QString& label, int minimum,
                                      int maximum, int start,
                                      const std::function<QImage(int)>& prepare);
    // Shows the prepared picture in Picture1 at once.
    void showPrepared(const QImage& prepared);
    // After a pick of a colour with many close shades, Label5 suggests flat colours, once the
    // window has shown the pick.
    void suggestFlatColours(picture::Colour picked);
    void showSuggestion(picture::Colour picked);

    // The models come first: the picture-box widgets refer to them.
    picture::PictureBox picture1Model_{4695, 3495};
    picture::PictureBox picture2Model_{4695, 3615};
    // The picture last loaded, held until the next Load replaces it; Picture1 shows it.
    QImage LoadedPicture;
    // The file confirmed at the last Load, loaded or not: the next Load starts from it.
    QString lastChosenFile_;
    bool linkOpen_ = false;
    // The last pick's suggestion; while Label5 still shows it, the next pick takes it back.
    QString suggestion_;
    // The pick waiting for its suggestion.
    std::optional<picture::Colour> suggestionFor_;
    QMenu* pictureMenu_ = nullptr;
    // A start-up's TOpenDesign the user stopped waiting for, still in the library.
    std::unique_ptr<dbx::DesignOpening> unansweredOpening_;
    std::optional<int> exitStatus_;

    // The controls, owned by the window and found by their names once it is built.
    Form1Controls controls_;
    UserPrompts prompts_;
};

}  // namespace bitlay::app

#pragma once

#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <optional>

#include "app/picture_box_widget.h"
#include "app/swatch_label.h"
#include "picture/picture_box.h"

namespace bitlay::app {

// The tool's one window: the controls, their handlers, start-up and shut-down.
class Form1 final : public QWidget {
    Q_OBJECT

  public:
    explicit Form1(QWidget* parent = nullptr);

    // Runs before the window is first shown. After a failed attach exitStatus() is set and the
    // window must not be shown.
    void Form_Load();
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Command5_Click();
    void Picture1_MouseDown(std::int16_t Button, std::int16_t Shift, float X, float Y);

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

    // Every message box of the program goes through here: a modal box titled "Bitlay" with the
    // text and one OK button. Tests replace it to capture the texts instead of blocking.
    static void defaultShowMessage(QWidget* parent, const QString& text);
    static inline std::function<void(QWidget* parent, const QString& text)> showMessage =
        &Form1::defaultShowMessage;

    // Set once the program has been told to end (status 0 after Quit, 1 after a failed start-up).
    std::optional<int> exitStatus() const noexcept { return exitStatus_; }

    // Shows the file-open dialog modally and gives the confirmed file, nothing after a cancel.
    // Tests replace it to choose a file without a user.
    static std::optional<QString> defaultChooseFile(QFileDialog& dialog);
    static inline std::function<std::optional<QString>(QFileDialog& dialog)> chooseFile =
        &Form1::defaultChooseFile;
    // Hides the completion pop-ups of the file dialog's name box.
    static void closeCompletionPopups(QFileDialog& dialog);

    const QImage& loadedPicture() const noexcept { return LoadedPicture; }

    picture::PictureBox& picture1Model() noexcept { return picture1Model_; }
    picture::PictureBox& picture2Model() noexcept { return picture2Model_; }

    // The position of the selected entry of a list, -1 when none is selected.
    static int ListIndex(const QListWidget& list);

    static constexpr const char* kCaption = "Bitlay Picture. - Corvane Systems - Rev : 2.0";
    static constexpr const char* kInstructionText =
        "Load Bitmap Picture ,Click on the Color to transfer,Select target PCB layer and UpperLeft "
        "coordinats on the PCB , then Transfer.";

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void reportCurrentException() noexcept;
    void endProgram(int status);

    // The models come first: the picture-box widgets refer to them.
    picture::PictureBox picture1Model_{4695, 3495};
    picture::PictureBox picture2Model_{4695, 3615};
    // The picture last loaded, held until the next Load replaces it; Picture1 shows it.
    QImage LoadedPicture;
    // The file confirmed at the last Load, loaded or not: the next Load starts from it.
    QString lastChosenFile_;
    bool linkOpen_ = false;
    std::optional<int> exitStatus_;

  public:
    // The controls, owned by the window; public so that tests can drive and read them.
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

}  // namespace bitlay::app

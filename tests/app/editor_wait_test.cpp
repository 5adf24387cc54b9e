#include "app/editor_wait.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <cctype>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

#include "app/form1.h"
#include "dbx/library_loader.h"
#include "tests/app/fake_dbx_fixture.h"
#include "tests/fakedbx/fake_dbx.h"

namespace bitlay::app {
namespace {

using namespace std::chrono_literals;

// What the wait window showed, seen from a timer while start-up waits in it.
struct SeenWindow {
    qint64 afterMilliseconds = 0;
    QString title, text, role;
    QStringList buttons;
    bool onTop = false;
};

// Watches for the wait window while start-up runs; once it shows, notes what it shows and
// answers it with `answer`: the editor answering, or the user pressing Cancel.
class WaitWindowWatch {
  public:
    enum class Answer { kEditorAnswers, kCancel };

    explicit WaitWindowWatch(Answer answer) {
        clock_.start();
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this, answer] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!dialog || dialog->objectName() != "WaitForEditor" || seen_) return;
            SeenWindow seen;
            seen.afterMilliseconds = clock_.elapsed();
            seen.title = dialog->windowTitle();
            seen.role = dialog->windowRole();
            seen.onTop = dialog->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
            for (const QLabel* label : dialog->findChildren<QLabel*>()) seen.text += label->text();
            auto* box = dialog->findChild<QDialogButtonBox*>();
            for (QAbstractButton* button : box->buttons())
                seen.buttons << button->text().remove(QLatin1Char('&'));
            seen_ = seen;
            if (answer == Answer::kCancel) {
                box->button(QDialogButtonBox::Cancel)->click();
            } else {
                fakedbx::releaseOpen();
            }
        });
        timer_.start();
    }

    const std::optional<SeenWindow>& seen() const { return seen_; }

  private:
    QElapsedTimer clock_;
    QTimer timer_;
    std::optional<SeenWindow> seen_;
};

struct Case {
    const char* what;
    dbx::DbxStatusCode openStatus;
    WaitWindowWatch::Answer answer;
    QString message;  // empty: attached
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.what; }

class EditorWait : public WithFakeDbx<::testing::TestWithParam<Case>> {
  protected:
    void SetUp() override {
        WithFakeDbx::SetUp();
        fakedbx::script().layers[1] = fakedbx::layerNamed("F.Cu");
    }

    std::vector<QString> messages;
    UserPrompts capturedMessages() {
        return UserPrompts{
            [this](QWidget*, const QString& text) { messages.push_back(text); }, {}, {}};
    }
};

// An editor slow to answer is waited for in a window that says so; what it answers then, or the
// user's Cancel, ends start-up as an attach that gave that status at once would.
TEST_P(EditorWait, ShowsAfterASecondAndEndsAsTheAnswerOrCancelSays) {
    const Case& c = GetParam();
    fakedbx::script().openStatus = c.openStatus;
    fakedbx::script().openWaits = true;
    auto form = std::make_unique<Form1>(capturedMessages());
    const WaitWindowWatch watch(c.answer);
    form->Form_Load();

    ASSERT_TRUE(watch.seen().has_value()) << "no wait window";
    const SeenWindow& seen = *watch.seen();
    EXPECT_GE(seen.afterMilliseconds, 950) << "shown before the editor had a second";
    EXPECT_EQ(seen.title, "Bitlay");
    EXPECT_EQ(seen.text, QString::fromUtf8("Waiting for KiCad to answer\u2026"));
    EXPECT_EQ(seen.buttons, QStringList{"Cancel"});
    EXPECT_TRUE(seen.onTop) << "in front, as the start-up message box";
    EXPECT_EQ(seen.role, kWaitWindowRole);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "the wait window is gone";

    const std::size_t lookups = fakedbx::callsOf("TGetLayerById").size();
    if (c.message.isEmpty()) {
        EXPECT_TRUE(messages.empty());
        EXPECT_FALSE(form->exitStatus().has_value());
        EXPECT_EQ(findControls(*form).List2->count(), 1);
        // The context the library filled on its thread is the one every later call gets.
        for (const fakedbx::Call& call : fakedbx::callsOf("TGetLayerById"))
            EXPECT_EQ(call.context, fakedbx::openedContext());
    } else {
        EXPECT_EQ(messages, std::vector<QString>{c.message});
        EXPECT_EQ(findControls(*form).Label5->text(), c.message);
        EXPECT_EQ(form->exitStatus(), 1);
        EXPECT_EQ(lookups, 0u) << "no layer is asked for after a failed start-up";
    }
    EXPECT_TRUE(fakedbx::callsOf("TCloseDesign").empty());

    // The editor answers only after the user gave up: the program's end waits for the call and
    // lets go of the design it attached.
    std::thread late([] {
        std::this_thread::sleep_for(100ms);
        fakedbx::releaseOpen();
    });
    form.reset();
    EXPECT_TRUE(fakedbx::openReturned());
    late.join();
    const bool attachedUnseen = c.answer == WaitWindowWatch::Answer::kCancel && c.openStatus == 0;
    EXPECT_EQ(fakedbx::callsOf("TCloseDesign").size(), attachedUnseen ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EditorWait,
    ::testing::Values(Case{"answers", 0, WaitWindowWatch::Answer::kEditorAnswers, {}},
                      Case{"goes away", 32102, WaitWindowWatch::Answer::kEditorAnswers,
                           "Server Terminated"},
                      Case{"cancelled", 0, WaitWindowWatch::Answer::kCancel, "No Connection"},
                      Case{"cancelled and then failing", 32105, WaitWindowWatch::Answer::kCancel,
                           "No Connection"}),
    [](const auto& info) {
        std::string name = info.param.what;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

TEST_F(EditorWait, AnEditorAnsweringAtOnceShowsNoWaitWindow) {
    Form1 form{capturedMessages()};
    const WaitWindowWatch watch(WaitWindowWatch::Answer::kCancel);
    form.Form_Load();
    EXPECT_FALSE(watch.seen().has_value());
    EXPECT_FALSE(form.exitStatus().has_value());
}

}  // namespace
}  // namespace bitlay::app

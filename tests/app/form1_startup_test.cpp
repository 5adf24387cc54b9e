#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/form1.h"
#include "dbx/design_link.h"
#include "dbx/library_loader.h"
#include "dbx/status_message.h"
#include "numeric/numeric.h"
#include "tests/app/fake_dbx_fixture.h"
#include "tests/fakedbx/fake_dbx.h"

namespace bitlay::app {
namespace {

using fakedbx::Call;

// Start-up and shut-down against the fake library; message boxes are captured, not shown.
class Startup : public WithFakeDbx<> {
  protected:
    static void scriptLayers(const std::vector<std::string>& names) {
        for (std::size_t i = 0; i < names.size(); ++i)
            fakedbx::script().layers[static_cast<std::int32_t>(i + 1)] =
                fakedbx::layerNamed(names[i]);
    }

    static QStringList entries(const Form1& form) {
        QStringList texts;
        for (int row = 0; row < findControls(form).List2->count(); ++row)
            texts << findControls(form).List2->item(row)->text();
        return texts;
    }

    static std::vector<std::int32_t> lookedUpIds() {
        std::vector<std::int32_t> ids;
        for (const Call& call : fakedbx::callsOf("TGetLayerById")) ids.push_back(call.layerId);
        return ids;
    }

    std::vector<QString> messages;

    // Message boxes land in messages.
    UserPrompts capturedMessages() {
        return UserPrompts{
            [this](QWidget*, const QString& text) { messages.push_back(text); }, {}, {}};
    }
};

class AttachFailure : public Startup, public ::testing::WithParamInterface<dbx::DbxStatusCode> {};

TEST_P(AttachFailure, ShowsOneMessageAndEndsWithoutFurtherCalls) {
    fakedbx::script().openStatus = GetParam();
    Form1 form{capturedMessages()};
    form.Form_Load();
    const QString text = QString::fromStdU16String(dbx::StatusMessage(GetParam()));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], text);
    EXPECT_EQ(findControls(form).Label5->text(), text);
    EXPECT_EQ(form.exitStatus(), 1);
    EXPECT_FALSE(form.isVisible());
    ASSERT_EQ(fakedbx::calls().size(), 1u) << "no layer lookup and no close after a failed attach";
    EXPECT_EQ(fakedbx::calls()[0].function, "TOpenDesign");
    EXPECT_EQ(dbx::link::DbxStatus, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Statuses, AttachFailure,
                         ::testing::Values(32239, 32106, 32003, 1, -1, 70000));

TEST_F(Startup, AttachesWithTheAgreedArguments) {
    Form1 form{capturedMessages()};
    form.Form_Load();
    const Call& open = fakedbx::calls().at(0);
    EXPECT_EQ(open.function, "TOpenDesign");
    EXPECT_EQ(open.first, 0);
    EXPECT_EQ(open.second, 16000);
    EXPECT_FALSE(open.textIsNull);
    EXPECT_EQ(open.text, "");
    EXPECT_TRUE(form.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(form.exitStatus().has_value());
}

TEST_F(Startup, ListsLayersOneToNWithTheFirstSelectedAndTheStartingTexts) {
    scriptLayers({"F.Cu", "B.Cu", "F.SilkS", "Edge.Cuts", "User.1"});
    Form1 form{capturedMessages()};
    form.Form_Load();
    EXPECT_EQ(entries(form), QStringList({"F.Cu", "B.Cu", "F.SilkS", "Edge.Cuts", "User.1"}));
    EXPECT_EQ(Form1::ListIndices(*findControls(form).List2), std::vector<std::int32_t>{0});
    EXPECT_EQ(findControls(form).Text3->text(), "1");
    EXPECT_EQ(findControls(form).Text1->text(), "0.00");
    EXPECT_EQ(findControls(form).Text2->text(), "0.00");
    EXPECT_EQ(findControls(form).Label5->text(),
              "Load Bitmap Picture ,Click on the Color to transfer,Select target PCB layer and "
              "UpperLeft coordinats on the PCB , then Transfer.");
    EXPECT_EQ(lookedUpIds(), (std::vector<std::int32_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(dbx::link::DbxStatus, 32161);
    EXPECT_TRUE(messages.empty());
    // Every later call gets the context that the attach filled, unchanged.
    for (const Call& call : fakedbx::callsOf("TGetLayerById"))
        EXPECT_EQ(call.context, fakedbx::openedContext());
}

TEST_F(Startup, StopsAtTheFirstMissingIdAndKeepsItsStatus) {
    scriptLayers({"one", "two", "three"});
    fakedbx::script().layers[5] = fakedbx::layerNamed("five");
    fakedbx::script().missingLayerStatus = 32198;
    Form1 form{capturedMessages()};
    form.Form_Load();
    EXPECT_EQ(entries(form), QStringList({"one", "two", "three"}));
    EXPECT_EQ(lookedUpIds(), (std::vector<std::int32_t>{1, 2, 3, 4}));
    EXPECT_EQ(dbx::link::DbxStatus, 32198);
    EXPECT_TRUE(messages.empty()) << "the end of the list is no error";
}

TEST_F(Startup, EntryTextsAreTheNameFieldUntrimmed) {
    const std::string full(100, 'L');
    scriptLayers({"Top   ", full, "  inner\xe9", std::string("A\0B", 3)});
    Form1 form{capturedMessages()};
    form.Form_Load();
    ASSERT_EQ(findControls(form).List2->count(), 4);
    EXPECT_EQ(findControls(form).List2->item(0)->text(), "Top   ");
    EXPECT_EQ(findControls(form).List2->item(1)->text(), QString(100, QLatin1Char('L')));
    EXPECT_EQ(findControls(form).List2->item(2)->text(), QString::fromUtf8("  inner\u00e9"));
    EXPECT_EQ(findControls(form).List2->item(3)->text(), "A") << "the text ends at the first NUL";
    // The list cuts long names at its edge; the tooltip holds each whole.
    for (int row = 0; row < findControls(form).List2->count(); ++row)
        EXPECT_EQ(findControls(form).List2->item(row)->toolTip(),
                  findControls(form).List2->item(row)->text());
}

TEST_F(Startup, OneRecordIsReusedBetweenLookups) {
    dbx::LayerRecord8 first = fakedbx::layerNamed("first");
    first.reserved0 = 0x11223344;
    first.reserved[4] = -9;
    fakedbx::script().layers[1] = first;
    Form1 form{capturedMessages()};
    form.Form_Load();
    const auto lookups = fakedbx::callsOf("TGetLayerById");
    ASSERT_EQ(lookups.size(), 2u);
    EXPECT_EQ(lookups[0].layerRecord, decltype(lookups[0].layerRecord){})
        << "the first lookup gets a zero-filled record";
    EXPECT_EQ(0, std::memcmp(lookups[1].layerRecord.data(), &first, sizeof first))
        << "the second gets the record as the first left it";
}

TEST_F(Startup, EmptyLayerListLeavesNothingSelected) {
    Form1 form{capturedMessages()};
    form.Form_Load();
    EXPECT_EQ(findControls(form).List2->count(), 0);
    EXPECT_TRUE(Form1::ListIndices(*findControls(form).List2).empty());
    EXPECT_EQ(findControls(form).Text3->text(), "1");
    EXPECT_TRUE(messages.empty());
    EXPECT_FALSE(form.exitStatus().has_value());
}

TEST_F(Startup, QuitClosesOnceWithAnEmptyTextAndEndsWhateverTheStatus) {
    scriptLayers({"F.Cu"});
    fakedbx::script().closeStatus = 32002;
    Form1 form{capturedMessages()};
    form.Form_Load();
    form.show();
    findControls(form).Command2->click();
    const auto closes = fakedbx::callsOf("TCloseDesign");
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].context, fakedbx::openedContext());
    EXPECT_FALSE(closes[0].textIsNull);
    EXPECT_EQ(closes[0].text, "");
    EXPECT_EQ(dbx::link::DbxStatus, 32002);
    EXPECT_EQ(form.exitStatus(), 0);
    EXPECT_FALSE(form.isVisible());
    EXPECT_TRUE(messages.empty()) << "a failed detach is not reported";
    form.close();
    EXPECT_EQ(fakedbx::callsOf("TCloseDesign").size(), 1u) << "the window's end detaches no more";
}

TEST_F(Startup, ClosingTheWindowDetachesOnce) {
    Form1 form{capturedMessages()};
    form.Form_Load();
    form.show();
    EXPECT_TRUE(form.close());
    EXPECT_EQ(fakedbx::callsOf("TCloseDesign").size(), 1u);
    form.show();
    form.close();
    EXPECT_EQ(fakedbx::callsOf("TCloseDesign").size(), 1u);
}

TEST_F(Startup, MissingLibraryIsReportedAndEndsWithStatusOne) {
    dbx::resetLinkForTesting("libdbx32-absent.so");
    Form1 form{capturedMessages()};
    form.Form_Load();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].contains("libdbx32-absent.so could not be loaded"))
        << messages[0].toStdString();
    EXPECT_TRUE(messages[0].contains("No such file")) << messages[0].toStdString();
    EXPECT_EQ(form.exitStatus(), 1);
    EXPECT_FALSE(form.isVisible());
    EXPECT_TRUE(fakedbx::calls().empty());
}

TEST_F(Startup, FunctionMissingLaterIsReportedByTheHandlerBoundary) {
    dbx::resetLinkForTesting("libdbx32partial.so");  // has no TPlaceLine
    Form1 form{capturedMessages()};
    form.Form_Load();
    ASSERT_TRUE(messages.empty());
    dbx::LineRecord line{};
    form.runHandler([&] { dbx::TPlaceLine(dbx::link::DesignContext, line); });
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].contains("has no function TPlaceLine")) << messages[0].toStdString();
    EXPECT_FALSE(form.exitStatus().has_value()) << "the program goes on";
}

struct Failure {
    const char* name;
    std::function<void()> raise;
    const char* start;
};

std::ostream& operator<<(std::ostream& out, const Failure& failure) { return out << failure.name; }

class HandlerBoundary : public Startup, public ::testing::WithParamInterface<Failure> {};

TEST_P(HandlerBoundary, ShowsOnePlainSentenceAndGoesOn) {
    Form1 form{capturedMessages()};
    bool after = false;
    form.runHandler([&] {
        GetParam().raise();
        after = true;
    });
    EXPECT_FALSE(after) << "nothing after the failure runs";
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].startsWith(GetParam().start)) << messages[0].toStdString();
    EXPECT_TRUE(messages[0].endsWith('.')) << messages[0].toStdString();
    form.runHandler([&] { after = true; });
    EXPECT_TRUE(after);
    EXPECT_EQ(messages.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, HandlerBoundary,
    ::testing::Values(
        Failure{"Overflow", [] { numeric::add16(32767, 1); }, "A number went out of range"},
        Failure{"FloatingPoint", [] { numeric::divide(1, 0); }, "A calculation could not be done"},
        Failure{"Link", [] { throw dbx::LinkError("The design link broke"); },
                "The design link broke"},
        Failure{"Other", [] { throw std::runtime_error("disk full"); }, "Something went wrong"},
        Failure{"NotAnException", [] { throw 42; }, "Something went wrong"}),
    [](const auto& info) { return std::string(info.param.name); });

// The real message box, closed by a timer: the title, the text, one OK button, no icon, on top.
TEST(MessageBox, IsTitledBitlayWithOneOkButtonNoIconAndOnTop) {
    QApplication::setQuitOnLastWindowClosed(false);
    QString title, text;
    int buttons = 0;
    bool onTop = false;
    QMessageBox::Icon icon = QMessageBox::Warning;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        title = box->windowTitle();
        text = box->text();
        buttons = static_cast<int>(box->buttons().size());
        icon = box->icon();
        onTop = box->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
        box->button(QMessageBox::Ok)->click();
    });
    Form1::defaultShowMessage(nullptr, QStringLiteral("Unable to open file"));
    EXPECT_EQ(title, "Bitlay");
    EXPECT_EQ(text, "Unable to open file");
    EXPECT_EQ(buttons, 1);
    EXPECT_EQ(icon, QMessageBox::NoIcon);
    EXPECT_TRUE(onTop) << "another Bitlay's window is kept on top as well";
}

}  // namespace
}  // namespace bitlay::app

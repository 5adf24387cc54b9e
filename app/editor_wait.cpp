#include "app/editor_wait.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>

namespace bitlay::app {
namespace {

// How often the wait window looks whether the call has returned.
constexpr std::chrono::milliseconds kPollInterval{20};

}  // namespace

QString waitForEditorText() { return QStringLiteral("Waiting for KiCad to answer\u2026"); }

bool waitForEditor(dbx::DesignOpening& opening) {
    if (opening.waitFor(kShowWaitAfter)) return true;

    // No parent: the window it would belong to is not shown yet.
    QDialog dialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
    dialog.setObjectName(QStringLiteral("WaitForEditor"));
    dialog.setWindowTitle(QStringLiteral("Bitlay"));
    dialog.setWindowRole(QString::fromLatin1(kWaitWindowRole));
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(new QLabel(waitForEditorText(), &dialog));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, &dialog);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    QTimer poll;
    poll.setInterval(kPollInterval);
    QObject::connect(&poll, &QTimer::timeout, &dialog, [&] {
        if (opening.waitFor(std::chrono::milliseconds(0))) dialog.accept();
    });
    poll.start();
    // The call may have returned while the window was being made.
    if (opening.waitFor(std::chrono::milliseconds(0))) return true;
    return dialog.exec() == QDialog::Accepted;
}

}  // namespace bitlay::app

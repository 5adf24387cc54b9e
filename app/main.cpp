#include <QApplication>

#include "app/form1.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Bitlay"));

    bitlay::app::Form1 form;
    form.Form_Load();
    // A failed start-up has shown its message; the window is never shown.
    if (const auto status = form.exitStatus()) return *status;
    form.show();
    return application.exec();
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "DbusUpdateService.h"
#include "Form1.h"
#include "MessageBoxPrompt.h"
#include "ProductCode.h"

#include <QApplication>
#include <QIcon>
#include <QStringList>

#include <cstdio>
#include <cstdlib>

namespace {

bool hasDisplay()
{
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char *value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

// The arguments after the program's name as one text, joined by single
// spaces. Taken before QApplication removes the options it knows.
QString commandLineText(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments.join(QChar(u' '));
}

QtMessageHandler previousMessageHandler = nullptr;

// A display that is set but cannot be opened is a fatal error inside Qt,
// which would abort with a core dump; end as cleanly as with none at all.
void exitOnFatalMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtFatalMsg) {
        if (previousMessageHandler)
            previousMessageHandler(type, context, message);
        else
            std::fprintf(stderr, "%s\n", qPrintable(message));
        return;
    }
    std::fputs("kelvarra: cannot open the display\n", stderr);
    std::_Exit(1);
}

} // namespace

int main(int argc, char **argv)
{
    if (!hasDisplay()) {
        std::fputs("kelvarra: no display to show the window on (set DISPLAY or WAYLAND_DISPLAY)\n", stderr);
        return 1;
    }
    const QString commandLine = commandLineText(argc, argv);
    // The service takes as long to start as Qt does here; let the two
    // overlap. Only for a command line that will ask for it anyway.
    if (const std::optional<QString> code = ProductCode::cut(commandLine);
        code && ProductCode::isAccepted(*code))
        DbusUpdateService::startEarly();

    previousMessageHandler = qInstallMessageHandler(exitOnFatalMessage);
    QApplication app(argc, argv);
    qInstallMessageHandler(previousMessageHandler);
    QApplication::setApplicationName(QStringLiteral("kelvarra"));
    QGuiApplication::setDesktopFileName(QStringLiteral("com.palvane.Kelvarra"));
    // From the resource, so a build-tree or uninstalled client has it too.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/com.palvane.Kelvarra.svg")));
    // Prompts closed before the window appears must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);

    MessageBoxPrompt prompt;
    Form1 form(prompt, [] { return DbusUpdateService::create(); }, commandLine);
    form.Form_Load();
    if (form.bExit)
        return 2;

    prompt.setParentWindow(&form);
    form.show();
    QApplication::setQuitOnLastWindowClosed(true);
    return app.exec();
}

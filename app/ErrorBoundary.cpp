// SPDX-License-Identifier: GPL-3.0-or-later
#include "ErrorBoundary.h"

#include "RuntimeError.h"
#include "ShownText.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

using namespace Qt::StringLiterals;

ErrorBoundary::ErrorBoundary(MessagePrompt &prompt, Terminate terminate)
    : m_prompt(prompt)
    , m_terminate(std::move(terminate))
{
}

bool ErrorBoundary::run(const std::function<void()> &fn)
{
    if (m_failed)
        return false;
    try {
        fn();
        return true;
    } catch (const RuntimeError &e) {
        fail(e.message());
    } catch (const std::exception &e) {
        fail(RuntimeError(RuntimeError::ProgramFault, QString::fromLocal8Bit(e.what())).message());
    } catch (...) {
        fail(RuntimeError(RuntimeError::ProgramFault, u"Unknown failure"_s).message());
    }
    return false;
}

void ErrorBoundary::fail(const QString &message)
{
    m_failed = true;
    // One line on the terminal, whatever line breaks the prompt or a service's text holds.
    QString line = message;
    line.replace(u"\r\n"_s, u" "_s).replace(u'\r', u' ').replace(u'\n', u' ');
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
    // The description may carry a service's error message of any length.
    m_prompt.show(ShownText(message), MessagePrompt::Buttons::Ok, u"Kelvarra"_s);
    m_terminate(1);
}

void ErrorBoundary::exitNow(int status)
{
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

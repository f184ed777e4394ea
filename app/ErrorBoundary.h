// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "MessagePrompt.h"

#include <functional>

// Every entry point of the program (loading, each service event, each click)
// runs inside run(): any failure shows the run-time error message, writes it
// on stderr and ends the program with status 1. Nothing else catches. While
// the message is open, entry points do nothing: events keep arriving in its
// event loop, and no handler may act once the program is ending.
class ErrorBoundary
{
public:
    using Terminate = std::function<void(int status)>;

    explicit ErrorBoundary(MessagePrompt &prompt, Terminate terminate = exitNow);

    // Returns false when fn failed or was not run (only seen when terminate
    // returns, in tests).
    bool run(const std::function<void()> &fn);

    // Ends the process at once: a failure deep inside a handler must not let
    // any further handler code run.
    static void exitNow(int status);

private:
    void fail(const QString &message);

    MessagePrompt &m_prompt;
    Terminate m_terminate;
    bool m_failed = false;
};

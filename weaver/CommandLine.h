#pragma once

#include "engine/Feedback.h"

#include <QString>
#include <QStringList>

#include <cstdio>

namespace tavo::weaver {

// Exit statuses of the command line.
enum ExitStatus
{
    ExitDone = 0,      // the output was written completely
    ExitFailed = 1,    // input unusable, or the output could not be written
    ExitUsage = 2,     // the arguments were wrong
    ExitCancelled = 3, // interrupted; nothing was written
};

QString usageText();

// Runs weaver without a window. `arguments` excludes the program name.
// Messages and progress go to `err` (stdout only gets --help). Cancelling
// `stop` (from any thread or a signal handler) ends the run as interrupted.
int runCommandLine(const QStringList& arguments, const QString& placeholderPath, std::FILE* out,
                   std::FILE* err, const Feedback* stop = nullptr);

} // namespace tavo::weaver

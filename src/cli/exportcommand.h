#pragma once

#include "exportprofile.h"

#include <QString>
#include <QStringList>

#include <variant>

// quorbel-cli export SESSION DIR [--profile as-recorded|ljspeech] [--rate HZ] [--bits 16|24]
// [--trim SECONDS|--no-trim] [--loudness LUFS|--no-loudness] [--jobs N]

namespace ExportCommand {

/// What the command was asked to do.
struct Request
{
    QString session;
    /// The folder in which the new export folder is made.
    QString parent;
    Exporting::ExportOptions options;
};

/// Reads the arguments after "export". A usage error gives the message that goes before the
/// usage text, naming the option or value at fault; an empty one when the folders are not
/// two. Bad option values are refused here, before anything is written.
[[nodiscard]] std::variant<Request, QString> parse(const QStringList &arguments);

/// Exports as asked into a new folder "Quorbel-Export-XXXXXXXX" inside the parent and prints
/// what it did; the progress goes to standard error while it is a terminal, and Ctrl+C or
/// SIGTERM cancel the export. Returns the exit code; throws Error for a failure.
int run(const Request &request);

} // namespace ExportCommand

#pragma once

#include <QString>
#include <QStringList>

#include <optional>

/// What the program says about itself: on its command line and in the About dialog.
namespace AppInfo {

/// The version the build was made from.
[[nodiscard]] QString version();
/// What the program does, in one line.
[[nodiscard]] QString description();
/// The libraries the program runs on, each with the version in use ("Qt 6.4.2").
[[nodiscard]] QStringList libraries();

/// What `quorbel [--help] [--version] [PATH]` asks for.
struct CommandLine
{
    /// Set when the program ends at once, after printing `text`: 0 for --help and --version
    /// (on standard output), 2 for a command line it cannot follow (on standard error).
    std::optional<int> exitCode;
    QString text;
    /// The session folder, its session.json or the script file to open instead of the session
    /// opened last; empty when none was given.
    QString path;
};

/// Reads `arguments`, the program's name first. --help and --version win over any mistake
/// beside them, so that they can be answered before Qt has taken its own options out.
[[nodiscard]] CommandLine parseCommandLine(const QStringList &arguments);

} // namespace AppInfo

#pragma once

#include "records.h"
#include "validation.h"

#include <QList>
#include <QStringList>

namespace ScriptImport {

/// Reads a script file, chosen by its extension: .json holds a script record, .csv a header row
/// with a "text" column and optional "id" and "note" columns, anything else one prompt per line.
/// Returns a validated script; throws AppError for the program's own rules and SystemError
/// for what the file system or the JSON reader reported.
[[nodiscard]] Script read(const QString &path);

/// Splits CSV text into rows of cells. Quoting is strict: a quote may only open an empty cell,
/// and only a comma, a line end or the end may follow a closing quote. Throws AppError.
[[nodiscard]] QList<QStringList> csv(QStringView text);

} // namespace ScriptImport

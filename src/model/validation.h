#pragma once

#include "records.h"

#include <QStringView>

/// True when `id` is a line identifier: 1 to 100 ASCII letters, digits, '_' or '-', the first a
/// letter or digit. The whole text must match: a trailing line feed makes it invalid.
[[nodiscard]] bool isValidLineId(QStringView id);

/// True when `file` names a take inside the session's takes folder: "takes/<name>.wav", the name
/// made of ASCII letters, digits, '_' and '-'. Nothing else, so a reference can never leave the
/// folder or hide a line break.
[[nodiscard]] bool isValidTakeFile(QStringView file);

namespace ScriptImport {

/// The largest script accepted, in bytes: of a script file, and of the texts of a script in
/// a session document.
inline constexpr qint64 maxScriptBytes = 10'000'000;

/// Checks every rule a script must keep and returns the very script it was given; throws
/// AppError with the message of the first rule broken, in script order.
const Script &validate(const Script &script);

} // namespace ScriptImport

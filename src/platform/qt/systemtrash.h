#pragma once

#include <QString>

/// Moves one file or one whole folder, given by its absolute path, to the user's Trash, where
/// the file manager can put it back. Throws SystemError when it cannot; the item is then
/// where it was. A symbolic link goes to the Trash itself, not what it points to.
void moveToSystemTrash(const QString &path);

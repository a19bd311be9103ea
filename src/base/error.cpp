#include "error.h"

Error::Error(QString description)
    : m_description(std::move(description))
    , m_utf8(m_description.toUtf8())
{}

QString fileAction(QStringView operation, const QString &path)
{
    return QStringLiteral("%1 “%2”").arg(operation, path);
}

SystemError SystemError::failed(QStringView action, const QString &reason)
{
    return SystemError(QStringLiteral("Could not %1: %2").arg(action, reason));
}

SystemError SystemError::io(QStringView operation, const QString &path, int errnum)
{
    // The system's own wording of the error, as strerror gives it but safe on any thread.
    return failed(fileAction(operation, path), qt_error_string(errnum));
}

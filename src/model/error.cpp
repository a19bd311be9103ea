#include "error.h"

Error::Error(QString description)
    : m_description(std::move(description))
    , m_utf8(m_description.toUtf8())
{}

PlatformError PlatformError::io(QStringView operation, const QString &path, int errnum)
{
    // The system's own wording of the error, as strerror gives it but safe on any thread.
    return PlatformError(
        QStringLiteral("Could not %1 “%2”: %3").arg(operation, path, qt_error_string(errnum)));
}

#include "error.h"

#include <cstring>

Error::Error(QString description)
    : m_description(std::move(description))
    , m_utf8(m_description.toUtf8())
{
}

PlatformError PlatformError::io(QStringView operation, const QString &path, int errnum)
{
    // strerror_r (GNU flavour) is thread-safe, unlike strerror.
    char buffer[256];
    const char *reason = strerror_r(errnum, buffer, sizeof buffer);
    return PlatformError(QStringLiteral("Could not %1 “%2”: %3")
                             .arg(operation, path, QString::fromLocal8Bit(reason)));
}

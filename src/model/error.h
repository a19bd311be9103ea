#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

/// A failure on its way to the person: `description()` is the finished text, shown word for word.
class Error : public std::exception
{
public:
    explicit Error(QString description);

    [[nodiscard]] const QString &description() const noexcept { return m_description; }
    [[nodiscard]] const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_description;
    QByteArray m_utf8;
};

/// The program's own messages: a script or session that breaks one of its rules.
class AppError final : public Error
{
public:
    using Error::Error;
};

/// What the file system or a file reader reported, worded so a person can find the fault.
class PlatformError final : public Error
{
public:
    using Error::Error;

    /// "Could not <operation> “<path>”: <the system's reason for errnum>".
    [[nodiscard]] static PlatformError io(QStringView operation, const QString &path, int errnum);
};

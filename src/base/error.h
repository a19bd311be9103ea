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

/// What the system, a service of it or a file reader reported, worded so a person can find the
/// fault: the operation and the file where there is one, then the reason.
class SystemError final : public Error
{
public:
    using Error::Error;

    /// "Could not <action>: <reason>", the action naming what was done to which file, such as
    /// `read “/…/session.json”` (see fileAction).
    [[nodiscard]] static SystemError failed(QStringView action, const QString &reason);
    /// "Could not <operation> “<path>”: <the system's reason for errnum>".
    [[nodiscard]] static SystemError io(QStringView operation, const QString &path, int errnum);
};

/// `<operation> “<path>”`: what a message says was done to a file.
[[nodiscard]] QString fileAction(QStringView operation, const QString &path);

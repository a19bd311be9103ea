#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

namespace Platform {

/// A service of the system could not do what was asked. `description()` is the finished text for
/// the person, naming the operation and the file where there is one, then the system's reason.
class Failure final : public std::exception
{
public:
    explicit Failure(QString description);

    [[nodiscard]] const QString &description() const noexcept { return m_description; }
    [[nodiscard]] const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_description;
    QByteArray m_utf8;
};

} // namespace Platform

#include "failure.h"

namespace Platform {

Failure::Failure(QString description)
    : m_description(std::move(description))
    , m_utf8(m_description.toUtf8())
{}

} // namespace Platform

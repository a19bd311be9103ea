#pragma once

#include "error.h"

/// The program's own messages: a script or session that breaks one of its rules.
class AppError final : public Error
{
public:
    using Error::Error;
};

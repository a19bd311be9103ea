#pragma once

#include <QDateTime>

#include <array>
#include <optional>
#include <string_view>

/// "YYYY-MM-DDTHH:MM:SSZ" in UTC, the fraction of the second dropped (rounded towards the
/// past). Nothing for an invalid time or a year outside 0000–9999, which the form cannot hold.
[[nodiscard]] std::optional<std::array<char16_t, 20>> formatInternetDateTime(const QDateTime &time);

/// Reads "YYYY-MM-DDTHH:MM:SS" followed by "Z" or an offset "+hh:mm" / "-hh:mm". Strict: every
/// field must be in range (no 31 April, no hour 24), nothing may follow, and the time in UTC
/// must fall in the years 0000–9999, so that formatInternetDateTime can write it.
[[nodiscard]] std::optional<QDateTime> parseInternetDateTime(std::string_view text);

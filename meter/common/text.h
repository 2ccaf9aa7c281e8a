#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// UTF-8 bytes to a wide string (UTF-16 where wchar_t is 16-bit, UTF-32 where it is 32-bit).
// Never fails: every malformed, overlong, surrogate or truncated sequence becomes U+FFFD,
// as the Windows converter does with default flags.
std::wstring Utf8ToWide(std::string_view bytes);

// A wide string to UTF-8. Unpaired surrogates become U+FFFD.
std::string WideToUtf8(std::wstring_view text);

// Longest text taken from a server for display and storage.
inline constexpr std::size_t kMaxServerTextChars = 256;

// A text as it came from a server, made safe to show, store and print: tab, CR and LF become
// spaces; every other control character (C0, DEL, C1) and the two non-characters U+FFFE and
// U+FFFF, which XML forbids, are dropped; the rest is cut to `maxChars` code units without
// splitting a surrogate pair.
std::wstring CleanServerText(std::wstring_view text, std::size_t maxChars = kMaxServerTextChars);

// Removes CR, LF, space and tab from both ends.
std::wstring TrimWhitespace(const std::wstring& text);

// Lines split at CR or LF, each trimmed; empty lines are dropped.
std::vector<std::wstring> SplitTrimmedLines(const std::wstring& text);

// Fixed notation with exactly `decimals` digits after a "." whatever the locale, no grouping;
// 0 decimals gives the rounded whole number.
std::wstring FormatFixed(double value, int decimals);

}  // namespace velmora

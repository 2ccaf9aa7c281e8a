#include "common/text.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <vector>

namespace velmora {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendCodePoint(std::wstring& out, char32_t cp) {
    if constexpr (sizeof(wchar_t) == 2) {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
            return;
        }
    }
    out.push_back(static_cast<wchar_t>(cp));
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool IsSurrogate(char32_t cp) {
    return cp >= 0xD800 && cp <= 0xDFFF;
}

}  // namespace

std::wstring Utf8ToWide(std::string_view bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<std::uint8_t>(bytes[i]);
        if (lead < 0x80) {
            out.push_back(static_cast<wchar_t>(lead));
            ++i;
            continue;
        }
        // Continuation count and the allowed range of the first continuation byte, which is
        // what rules out overlong forms, surrogates and values above U+10FFFF.
        int need = 0;
        std::uint8_t low = 0x80;
        std::uint8_t high = 0xBF;
        char32_t cp = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1;
            cp = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2;
            cp = lead & 0x0F;
            if (lead == 0xE0)
                low = 0xA0;
            if (lead == 0xED)
                high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3;
            cp = lead & 0x07;
            if (lead == 0xF0)
                low = 0x90;
            if (lead == 0xF4)
                high = 0x8F;
        } else {
            AppendCodePoint(out, kReplacement);
            ++i;
            continue;
        }
        // A broken sequence is replaced as one unit up to the first byte that does not fit;
        // that byte starts over as a new lead.
        int taken = 1;
        bool ok = true;
        for (int k = 1; k <= need; ++k) {
            if (i + k >= bytes.size()) {
                ok = false;
                break;
            }
            const auto b = static_cast<std::uint8_t>(bytes[i + k]);
            const std::uint8_t lo = (k == 1) ? low : 0x80;
            const std::uint8_t hi = (k == 1) ? high : 0xBF;
            if (b < lo || b > hi) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (b & 0x3F);
            ++taken;
        }
        AppendCodePoint(out, ok ? cp : kReplacement);
        i += static_cast<std::size_t>(taken);
    }
    return out;
}

std::string WideToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = static_cast<char32_t>(text[i]);
        if constexpr (sizeof(wchar_t) == 2) {
            if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size()) {
                const auto next = static_cast<char32_t>(text[i + 1]);
                if (next >= 0xDC00 && next <= 0xDFFF) {
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (next - 0xDC00);
                    ++i;
                }
            }
        }
        if (IsSurrogate(cp) || cp > 0x10FFFF) {
            cp = kReplacement;
        }
        AppendUtf8(out, cp);
    }
    return out;
}

std::wstring CleanServerText(std::wstring_view text, std::size_t maxChars) {
    std::wstring clean;
    clean.reserve(std::min(text.size(), maxChars));
    for (const wchar_t c : text) {
        if (clean.size() >= maxChars) {
            break;
        }
        const auto u = static_cast<std::uint32_t>(c);
        if (u == '\t' || u == '\n' || u == '\r') {
            clean.push_back(L' ');
        } else if (u >= 0x20 && u != 0x7F && !(u >= 0x80 && u <= 0x9F) && u != 0xFFFE &&
                   u != 0xFFFF) {
            clean.push_back(c);
        }
    }
    // A high surrogate left last has lost its partner to the cut.
    if constexpr (sizeof(wchar_t) == 2) {
        if (!clean.empty() && clean.back() >= 0xD800 && clean.back() <= 0xDBFF) {
            clean.pop_back();
        }
    }
    return clean;
}

std::wstring FormatFixed(double value, int decimals) {
    char buffer[400];
    const auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    if (error != std::errc()) {
        return L"0";
    }
    return std::wstring(buffer, end);
}

std::wstring TrimWhitespace(const std::wstring& text) {
    constexpr wchar_t kBlank[] = L"\r\n \t";
    const std::size_t first = text.find_first_not_of(kBlank);
    if (first == std::wstring::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

std::vector<std::wstring> SplitTrimmedLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find_first_of(L"\r\n", pos);
        std::wstring line =
            TrimWhitespace(text.substr(pos, end == std::wstring::npos ? end : end - pos));
        if (!line.empty()) {
            lines.push_back(std::move(line));
        }
        if (end == std::wstring::npos) {
            break;
        }
        pos = end + 1;
    }
    return lines;
}

}  // namespace velmora

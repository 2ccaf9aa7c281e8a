#include "common/text.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

TEST(Utf8ToWide, DecodesPortugueseLettersAndEmptyInput) {
    EXPECT_EQ(Utf8ToWide(""), L"");
    EXPECT_EQ(Utf8ToWide("\x53\xC3\xA3\x6F"), L"S\u00E3o");
    EXPECT_EQ(Utf8ToWide("MEDI\xC3\x87\xC3\x83O CONCLU\xC3\x8D"
                         "DA"),
              L"MEDIÇÃO CONCLUÍDA");
}

TEST(Utf8ToWide, KeepsCharactersOutsideTheBasicPlane) {
    // U+1F680 takes a surrogate pair where wchar_t is 16-bit and one unit where it is 32-bit.
    const std::wstring rocket = Utf8ToWide("\xF0\x9F\x9A\x80");
    if constexpr (sizeof(wchar_t) == 2) {
        ASSERT_EQ(rocket.size(), 2u);
        EXPECT_EQ(static_cast<unsigned>(rocket[0]), 0xD83Du);
        EXPECT_EQ(static_cast<unsigned>(rocket[1]), 0xDE80u);
    } else {
        ASSERT_EQ(rocket.size(), 1u);
        EXPECT_EQ(static_cast<unsigned>(rocket[0]), 0x1F680u);
    }
    EXPECT_EQ(WideToUtf8(rocket), "\xF0\x9F\x9A\x80");
}

TEST(Utf8ToWide, ReplacesMalformedSequencesAndResynchronises) {
    // A stray continuation byte, a truncated two-byte lead, an invalid lead byte.
    EXPECT_EQ(Utf8ToWide("a\x80"
                         "b"),
              L"a\uFFFDb");
    EXPECT_EQ(Utf8ToWide("a\xC3"), L"a\uFFFD");
    EXPECT_EQ(Utf8ToWide("\xFF"
                         "x"),
              L"\uFFFDx");
    // A lead byte followed by ASCII: the ASCII is kept, not swallowed.
    EXPECT_EQ(Utf8ToWide("\xE2(x"), L"\uFFFD(x");
    // Overlong "/" and an encoded surrogate are rejected.
    EXPECT_EQ(Utf8ToWide("\xC0\xAF"), L"\uFFFD\uFFFD");
    EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), L"\uFFFD\uFFFD\uFFFD");
    // Above U+10FFFF.
    EXPECT_EQ(Utf8ToWide("\xF4\x90\x80\x80"), L"\uFFFD\uFFFD\uFFFD\uFFFD");
}

TEST(WideToUtf8, RoundTripsTextAndReplacesLoneSurrogates) {
    const std::wstring text = L"Brasília - DF, Operadora: Claro S.A.";
    EXPECT_EQ(Utf8ToWide(WideToUtf8(text)), text);
    std::wstring lone;
    lone.push_back(static_cast<wchar_t>(0xD800));
    lone.push_back(L'x');
    EXPECT_EQ(WideToUtf8(lone), "\xEF\xBF\xBDx");
}

TEST(CleanServerText, DropsControlsKeepsLettersAndCaps) {
    const struct {
        std::wstring in;
        std::wstring out;
    } cases[] = {
        {L"Claro S.A.", L"Claro S.A."},
        {L"S\u00e3o Paulo \U0001F680", L"S\u00e3o Paulo \U0001F680"},
        {L"a\tb\r\nc", L"a b  c"},
        {L"\x1b[2J\x07x\x7f\x9by\x01", L"[2Jxy"},
        {std::wstring(L"\ufffe\uffff"), L""},
        {std::wstring(300, L'x'), std::wstring(kMaxServerTextChars, L'x')},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CleanServerText(c.in), c.out);
    }
    // A cut never leaves half of a character outside the basic plane.
    const std::wstring rocket = L"\U0001F680";
    const std::wstring cut = CleanServerText(L"ab" + rocket, 3);
    EXPECT_EQ(cut, sizeof(wchar_t) == 2 ? L"ab" : L"ab" + rocket);
}

TEST(TextHelpers, TrimWhitespace) {
    EXPECT_EQ(TrimWhitespace(L"\r\n \tGRU \t\r\n"), L"GRU");
    EXPECT_EQ(TrimWhitespace(L" \r\n\t "), L"");
    EXPECT_EQ(TrimWhitespace(L""), L"");
    EXPECT_EQ(TrimWhitespace(L"a b"), L"a b");
    EXPECT_EQ(TrimWhitespace(L"\u00A0x\u00A0"), L"\u00A0x\u00A0");  // only the four are blank
}

TEST(TextHelpers, SplitTrimmedLines) {
    EXPECT_TRUE(SplitTrimmedLines(L"").empty());
    EXPECT_TRUE(SplitTrimmedLines(L"\n\n\n").empty());
    EXPECT_EQ(SplitTrimmedLines(L"a"), std::vector<std::wstring>{L"a"});
    EXPECT_EQ(SplitTrimmedLines(L"a\r\n\r\n b \n"), (std::vector<std::wstring>{L"a", L"b"}));
    EXPECT_EQ(SplitTrimmedLines(L"  colo=GRU \r\nloc=BR"),
              (std::vector<std::wstring>{L"colo=GRU", L"loc=BR"}));
}

TEST(TextHelpers, Utf8ToWideOnResponseBodies) {
    EXPECT_EQ(Utf8ToWide(""), L"");
    EXPECT_EQ(Utf8ToWide("\x53\xC3\xA3\x6F"), L"São");
    EXPECT_EQ(Utf8ToWide("{\"city\":\"Bras\xC3\xADlia\xFF\"}"), L"{\"city\":\"Brasília\uFFFD\"}");
}

}  // namespace
}  // namespace velmora

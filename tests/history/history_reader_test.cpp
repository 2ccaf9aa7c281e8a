#include "history/history_reader.h"

#include <gtest/gtest.h>

namespace velmora::modulos::medicao {
namespace {

std::string Block(const std::string& timestamp, const std::string& serverName,
                  const std::string& extra = "") {
    return "  <measurement timestamp=\"" + timestamp +
           "\">\n    <downloadMbps>93.46</downloadMbps>\n" + "    <serverName>" + serverName +
           "</serverName>\n" + extra + "  </measurement>\n";
}

TEST(ReadHistory, SkeletonAndEmptyInputsGiveNothing) {
    EXPECT_TRUE(ReadHistory("").empty());
    EXPECT_TRUE(ReadHistory("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<history product=\"OBRIX "
                            "KALDRA\" company=\"KALDRA NETWORK SECURITY LTDA\" "
                            "version=\"2.0.3.7\">\n</history>\n")
                    .empty());
    // UTF-16: the markers never occur as single bytes.
    const std::u16string wide = u"<measurement timestamp=\"x\"></measurement>";
    EXPECT_TRUE(
        ReadHistory(std::string_view(reinterpret_cast<const char*>(wide.data()), wide.size() * 2))
            .empty());
}

TEST(ReadHistory, BlocksInFileOrderWithEveryField) {
    const std::string file =
        "<history>\n" + Block("2025-03-07 09:05:02", "Primeiro") +
        Block("2025-03-08 10:00:00", "Segundo",
              "    <uploadSamples>1.00,2.00</uploadSamples>\n    <userCity></userCity>\n") +
        "</history>\n";
    const auto entries = ReadHistory(file);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].timestamp, "2025-03-07 09:05:02");
    EXPECT_EQ(entries[0].serverName, "Primeiro");
    EXPECT_EQ(entries[0].downloadMbps, "93.46");
    EXPECT_EQ(entries[0].uploadSamples, "");
    EXPECT_EQ(entries[1].serverName, "Segundo");
    EXPECT_EQ(entries[1].uploadSamples, "1.00,2.00");
    EXPECT_EQ(entries[1].userCity, "");
    EXPECT_EQ(entries[1].pingMs, "");  // missing element
}

TEST(ReadHistory, StartTagWithoutAttributesIsNotABlock) {
    const std::string file =
        "<measurement>\n<serverName>Ignorado</serverName>\n</measurement>\n" + Block("t", "Lido");
    const auto entries = ReadHistory(file);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].serverName, "Lido");
}

TEST(ReadHistory, MissingPiecesGiveEmptyFields) {
    const auto entries = ReadHistory(
        "<measurement id=\"1\">\n<serverName>sem fim\n<pingMs>5.00</pingMs>\n</measurement>");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].timestamp, "");
    EXPECT_EQ(entries[0].serverName, "");
    EXPECT_EQ(entries[0].pingMs, "5.00");
}

TEST(ReadHistory, AnUnterminatedBlockEndsTheScan) {
    const auto entries = ReadHistory(Block("1", "A") + "  <measurement timestamp=\"2\">\n" +
                                     "    <serverName>B</serverName>\n");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].serverName, "A");
}

TEST(ReadHistory, ABlockWithoutItsEndIsMergedWithTheNext) {
    const std::string broken = "  <measurement timestamp=\"1\">\n    <serverName>A</serverName>\n";
    const auto entries =
        ReadHistory(broken + Block("2", "B", "    <pingMs>7.00</pingMs>\n") + Block("3", "C"));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].timestamp, "1");
    EXPECT_EQ(entries[0].serverName, "A");  // first occurrence wins
    EXPECT_EQ(entries[0].pingMs, "7.00");   // filled in from the later block
    EXPECT_EQ(entries[1].serverName, "C");
}

TEST(XmlUnescape, FivePassesInOrder) {
    EXPECT_EQ(XmlUnescape("&lt;a&gt; &quot;b&quot; &apos;c&apos; &amp;"), "<a> \"b\" 'c' &");
    EXPECT_EQ(XmlUnescape("&amp;amp;"), "&amp;");
    EXPECT_EQ(XmlUnescape("&amp;lt;"), "&lt;");
    EXPECT_EQ(XmlUnescape("&#231;"), "&#231;");
    EXPECT_EQ(XmlUnescape("&&;"), "&&;");
}

TEST(ExtractAttribute, FirstOccurrenceAnywhere) {
    EXPECT_EQ(ExtractAttribute("<m timestamp=\"12\">", "timestamp"), "12");
    EXPECT_EQ(ExtractAttribute("<m x=\"1\"><v timestamp=\"9\"/>", "timestamp"), "9");
    EXPECT_EQ(ExtractAttribute("<m timestamp=\"", "timestamp"), "");
    EXPECT_EQ(ExtractAttribute("<m timestamp=\"open", "timestamp"), "");
    EXPECT_EQ(ExtractElementText("<a><b></b></a>", "b"), "");
    EXPECT_EQ(ExtractElementText("<b>x</b><b>y</b>", "b"), "x");
    EXPECT_EQ(ExtractElementText("</b><b>x", "b"), "");
}

}  // namespace
}  // namespace velmora::modulos::medicao

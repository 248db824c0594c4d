#include "metadata/metadata_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "metadata/slot_order_model.h"

namespace {

using tolvar::metadata::PropertyMap;
using tolvar::metadata::PropertyNode;
using tolvar::metadata::read_metadata;

PropertyMap read(const std::string& text) { return read_metadata(text.data(), text.size()); }

std::vector<std::string> keys_of(const PropertyMap& map) {
    std::vector<std::string> keys;
    for (const PropertyMap::Entry& entry : map) keys.push_back(entry.key);
    return keys;
}

// The document element R with its common_properties around body.
std::string in_common(const std::string& body) { return "<R><common_properties>" + body + "</common_properties></R>"; }

const PropertyNode& only(const PropertyMap& map, const std::string& key) {
    static const PropertyNode missing;
    EXPECT_EQ(map.size(), 1);
    const PropertyNode* node = map.find(key);
    EXPECT_NE(node, nullptr) << "no property " << key << "; keys: " << testing::PrintToString(keys_of(map));
    return node != nullptr ? *node : missing;
}

TEST(MetadataReader, PropertyInsideTreeTakesTheTreeName) {
    const PropertyMap map =
        read(in_common("<tree name=\"A\"><e name=\"B\" unit=\"s\" type=\"integer\" ro=\"true\">42</e></tree>"));
    const PropertyNode& node = only(map, "R.A.B");
    EXPECT_EQ(node.name, "B");
    EXPECT_EQ(node.unit, "s");
    EXPECT_EQ(node.type, "integer");
    EXPECT_EQ(node.value, "42");
    EXPECT_TRUE(node.read_only);
    EXPECT_EQ(node.description, "");
}

TEST(MetadataReader, PropertyDirectlyInsideCommonProperties) {
    const PropertyMap map = read(in_common("<e name=\"B\" description=\"the b\">x</e>"));
    const PropertyNode& node = only(map, "R.B");
    EXPECT_EQ(node.description, "the b");
    EXPECT_FALSE(node.read_only);
}

struct ValueCase {
    const char* body;  // inside <e name="v">...</e>
    std::string value;
};

void PrintTo(const ValueCase& c, std::ostream* os) { *os << testing::PrintToString(std::string(c.body)); }

class ValueText : public testing::TestWithParam<ValueCase> {};

TEST_P(ValueText, IsStoredAsSpecified) {
    const PropertyMap map = read(in_common(std::string("<e name=\"v\">") + GetParam().body + "</e>"));
    EXPECT_EQ(only(map, "R.v").value, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ValueText,
    testing::Values(
        // Leading spaces go, a following line break stays, trailing spaces stay.
        ValueCase{"   7\n", "7\n"}, ValueCase{"\n  7", "\n  7"}, ValueCase{"\t 7", "\t 7"},
        ValueCase{"7   ", "7   "}, ValueCase{"     ", ""}, ValueCase{"", ""},
        // Spaces that arrive in several pieces (references, CDATA) go too.
        ValueCase{"&#32; <![CDATA[  ]]>&#x20;x y", "x y"},
        // Entities and CDATA arrive decoded and raw respectively.
        ValueCase{"&lt;a&gt; &amp; &quot;b&quot; &apos;c&apos;", "<a> & \"b\" 'c'"},
        ValueCase{"<![CDATA[<not a=\"tag\"> & ]]>", "<not a=\"tag\"> & "},
        ValueCase{"&#x20AC;&#8364;", "\xE2\x82\xAC\xE2\x82\xAC"},
        // Character data after a nested element's end no longer belongs to the property.
        ValueCase{"1<b>2</b>3", "12"},
        ValueCase{"caf\xC3\xA9 \xE6\xB8\xA9\xE5\xBA\xA6 \xF0\x9F\x9A\x97", "caf\xC3\xA9 \xE6\xB8\xA9\xE5\xBA\xA6 \xF0\x9F\x9A\x97"},
        // XML turns a CR LF pair into one line feed.
        ValueCase{"a\r\nb", "a\nb"}));

TEST(MetadataReader, ReadOnlyOnlyForExactTrue) {
    for (const char* ro : {"True", "TRUE", "1", "yes", " true", "true ", "truex", ""}) {
        const PropertyMap map = read(in_common(std::string("<e name=\"p\" ro=\"") + ro + "\"/>"));
        EXPECT_FALSE(only(map, "R.p").read_only) << "ro=" << ro;
    }
    EXPECT_TRUE(only(read(in_common("<e name=\"p\" ro='true'/>")), "R.p").read_only);
    EXPECT_TRUE(only(read(in_common("<e name=\"p\" ro=\"&#116;rue\"/>")), "R.p").read_only);
}

TEST(MetadataReader, FirstPropertyOfAPathWins) {
    const PropertyMap map = read(in_common(
        "<tree name=\"T\"><e name=\"x\" unit=\"ms\" ro=\"true\">first</e></tree>"
        "<tree name=\"T\"><e name=\"x\" unit=\"s\" type=\"float\" description=\"d\">second</e></tree>"));
    const PropertyNode& node = only(map, "R.T.x");
    EXPECT_EQ(node.value, "first");
    EXPECT_EQ(node.unit, "ms");
    EXPECT_EQ(node.type, "");
    EXPECT_EQ(node.description, "");
    EXPECT_TRUE(node.read_only);
}

struct PlacementCase {
    const char* name;
    std::string text;
    std::vector<std::string> keys;  // sorted
};

void PrintTo(const PlacementCase& c, std::ostream* os) { *os << c.name; }

class Placement : public testing::TestWithParam<PlacementCase> {};

TEST_P(Placement, GivesTheseKeys) {
    std::vector<std::string> keys = keys_of(read(GetParam().text));
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, GetParam().keys);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Placement,
    testing::Values(
        PlacementCase{"outside", "<R><e name=\"a\"/><other><e name=\"b\"/></other><common_properties/></R>", {}},
        PlacementCase{"not_directly_below_root", "<R><x><common_properties><e name=\"a\"/></common_properties></x></R>", {}},
        PlacementCase{"root_itself", "<common_properties><e name=\"a\"/></common_properties>", {}},
        PlacementCase{"nested_trees",
                      in_common("<tree name=\"T1\"><tree name=\"T2\"><tree name=\"T3\"><e name=\"x\"/></tree>"
                                "<e name=\"y\"/></tree></tree><tree name=\"U\"/>"),
                      {"R.T1.T2.T3.x", "R.T1.T2.y"}},
        PlacementCase{"list_contributes_element_name",
                      in_common("<list name=\"L\"><e name=\"a\"/><tree name=\"T\"><e name=\"b\"/></tree></list>"),
                      {"R.list.T.b", "R.list.a"}},
        PlacementCase{"every_common_properties_is_skipped",
                      in_common("<tree name=\"T\"><common_properties><e name=\"a\"/></common_properties></tree>"),
                      {"R.T.a"}},
        // Names are joined as they are, empty ones included.
        PlacementCase{"root_named_common_properties",
                      "<common_properties><common_properties><tree><e name=\"a\"/></tree><e name=\"b\"/>"
                      "</common_properties></common_properties>",
                      {".a", "b"}},
        PlacementCase{"dots_in_names", in_common("<tree name=\"log\"><e name=\"a.b\"/></tree>"), {"R.log.a.b"}},
        PlacementCase{"second_section_counts_too",
                      "<R><common_properties><e name=\"a\"/></common_properties>"
                      "<common_properties><e name=\"b\"/></common_properties></R>",
                      {"R.a", "R.b"}},
        // Without a "name" attribute the name is empty, like any missing
        // attribute: nothing inside is lost.
        PlacementCase{"tree_without_name", in_common("<tree><e name=\"a\"/></tree>"), {"R..a"}},
        PlacementCase{"e_without_name", in_common("<tree name=\"T\"><e>v</e></tree>"), {"R.T."}},
        PlacementCase{"e_inside_e", in_common("<e name=\"a\">1<e name=\"b\">2</e>3</e>"), {"R.a", "R.a.b"}}),
    [](const testing::TestParamInfo<PlacementCase>& info) { return std::string(info.param.name); });

TEST(MetadataReader, ElementWithoutNameKeepsItsValue) {
    const PropertyMap map = read(in_common("<tree name=\"T\"><e unit=\"V\">12</e><e>13</e></tree>"));
    const PropertyNode& node = only(map, "R.T.");
    EXPECT_EQ(node.name, "");
    EXPECT_EQ(node.unit, "V");
    EXPECT_EQ(node.value, "12");
}

TEST(MetadataReader, TargetSurvivesGrowthOnAPresentNestedPath) {
    // R.a.b exists from the tree; the new R.a is the fourth entry and takes
    // the character data. The nested e finds R.a.b present, which grows the
    // table from 5 to 11 slots and moves every node; its text still belongs
    // to R.a, whose value must have moved along.
    const PropertyMap map = read(in_common(
        "<tree name=\"a\"><e name=\"b\">1</e></tree><e name=\"c\"/><e name=\"d\"/>"
        "<e name=\"a\">2<e name=\"b\">3</e>4</e>"));
    EXPECT_EQ(map.capacity(), 11);
    ASSERT_EQ(map.size(), 4);
    EXPECT_EQ(map.find("R.a")->value, "23");
    EXPECT_EQ(map.find("R.a.b")->value, "1");
}

TEST(MetadataReader, SixPropertiesComeOutInSlotOrder) {
    const std::vector<std::string> names = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta"};
    std::string body;
    std::vector<std::string> paths;
    for (const std::string& n : names) {
        body += "<e name=\"" + n + "\">" + n + "</e>";
        paths.push_back("R." + n);
    }
    const PropertyMap map = read(in_common(body));
    EXPECT_EQ(map.capacity(), 11);
    const std::vector<std::string> expected = slot_order_model::order(paths);
    EXPECT_EQ(keys_of(map), expected);
    EXPECT_NE(expected, paths);  // the case is only worth having if the orders differ
}

// A logger's configuration as such a device writes it.
const char* const kDeviceConfiguration = R"(<?xml version="1.0" encoding="UTF-8"?>
<HDcomment>
  <TX>Recorded by the logger in vehicle 7</TX>
  <time_source>local PC reference time</time_source>
  <e name="outside">not a property</e>
  <common_properties>
    <e name="device id" type="string" ro="true">CL3000-0042</e>
    <e name="serial number" type="string" ro="true">2F0B9A11</e>
    <e name="firmware version" type="string" ro="true">01.08.02</e>
    <e name="hardware version" type="string" ro="true">00.03</e>
    <e name="config name" type="string">Fleet test   </e>
    <e name="session no" type="integer" ro="true">1843</e>
    <e name="split no" type="integer" ro="true">3</e>
    <tree name="Device Information">
      <e name="storage total" type="integer" unit="MB" ro="true">31166</e>
      <e name="storage free" type="integer" unit="MB" ro="true">20411</e>
      <e name="rtc" type="string" description="real-time clock at start">2026-12-08T08:13:00Z</e>
    </tree>
    <tree name="CAN1">
      <e name="bitrate" type="integer" unit="bit/s">500000</e>
      <e name="data bitrate" type="integer" unit="bit/s">2000000</e>
      <e name="fd" type="boolean">true</e>
      <e name="silent mode" type="boolean">false</e>
      <tree name="filters">
        <e name="count" type="integer">2</e>
        <e name="f0.id" type="hex">0x7DF</e>
        <e name="f1.id" type="hex">0x18DAF100</e>
      </tree>
    </tree>
    <tree name="CAN2">
      <e name="bitrate" type="integer" unit="bit/s">250000</e>
      <e name="data bitrate" type="integer" unit="bit/s">0</e>
      <e name="fd" type="boolean">false</e>
      <e name="silent mode" type="boolean">true</e>
    </tree>
    <tree name="LIN1">
      <e name="bitrate" type="integer" unit="bit/s">19200</e>
      <e name="mode" type="string">subscriber</e>
      <e name="protocol" type="string">2.2A</e>
    </tree>
    <tree name="log">
      <e name="interval" type="integer" unit="ms">1000</e>
      <e name="compression" type="string">lzss</e>
      <e name="encryption" type="string">aes-256-gcm</e>
      <e name="file split size" type="integer" unit="MB">512</e>
      <e name="file split time" type="integer" unit="s">600</e>
      <e name="interval" type="integer" unit="s">9</e>
    </tree>
    <tree name="GNSS">
      <e name="enabled" type="boolean">true</e>
      <e name="rate" type="integer" unit="Hz">5</e>
      <list name="satellites">
        <e name="gps" type="boolean">true</e>
        <e name="galileo" type="boolean">true</e>
      </list>
    </tree>
    <tree name="IMU">
      <e name="enabled" type="boolean">false</e>
      <e name="range" type="integer" unit="g">&#x34;</e>
    </tree>
    <tree name="Fahrzeug">
      <e name="Kennzeichen" type="string">M-&#xC4;B 1234</e>
      <e name="Temperatur" type="float" unit="&#xB0;C">-3.5</e>
    </tree>
    <e name="comment" type="string"><![CDATA[cold start <-10 C> & rain]]></e>
    <e name="device id" type="string">ignored duplicate</e>
  </common_properties>
</HDcomment>
)";

TEST(MetadataReader, DeviceConfigurationComesOutInModelSlotOrder) {
    // Paths in document order, the repeated ones included (each is a lookup).
    const std::vector<std::string> paths = {
        "HDcomment.device id", "HDcomment.serial number", "HDcomment.firmware version",
        "HDcomment.hardware version", "HDcomment.config name", "HDcomment.session no", "HDcomment.split no",
        "HDcomment.Device Information.storage total", "HDcomment.Device Information.storage free",
        "HDcomment.Device Information.rtc", "HDcomment.CAN1.bitrate", "HDcomment.CAN1.data bitrate",
        "HDcomment.CAN1.fd", "HDcomment.CAN1.silent mode", "HDcomment.CAN1.filters.count",
        "HDcomment.CAN1.filters.f0.id", "HDcomment.CAN1.filters.f1.id", "HDcomment.CAN2.bitrate",
        "HDcomment.CAN2.data bitrate", "HDcomment.CAN2.fd", "HDcomment.CAN2.silent mode", "HDcomment.LIN1.bitrate",
        "HDcomment.LIN1.mode", "HDcomment.LIN1.protocol", "HDcomment.log.interval", "HDcomment.log.compression",
        "HDcomment.log.encryption", "HDcomment.log.file split size", "HDcomment.log.file split time",
        "HDcomment.log.interval", "HDcomment.GNSS.enabled", "HDcomment.GNSS.rate", "HDcomment.GNSS.list.gps",
        "HDcomment.GNSS.list.galileo", "HDcomment.IMU.enabled", "HDcomment.IMU.range",
        "HDcomment.Fahrzeug.Kennzeichen", "HDcomment.Fahrzeug.Temperatur", "HDcomment.comment",
        "HDcomment.device id"};
    size_t capacity = 0;
    const std::vector<std::string> expected = slot_order_model::order(paths, &capacity);

    const PropertyMap map = read(kDeviceConfiguration);
    ASSERT_EQ(map.size(), 38);
    EXPECT_EQ(static_cast<size_t>(map.capacity()), capacity);
    EXPECT_EQ(keys_of(map), expected);

    EXPECT_EQ(map.find("HDcomment.device id")->value, "CL3000-0042");
    EXPECT_TRUE(map.find("HDcomment.device id")->read_only);
    EXPECT_EQ(map.find("HDcomment.config name")->value, "Fleet test   ");
    EXPECT_EQ(map.find("HDcomment.log.interval")->value, "1000");
    EXPECT_EQ(map.find("HDcomment.log.interval")->unit, "ms");
    EXPECT_EQ(map.find("HDcomment.Device Information.rtc")->description, "real-time clock at start");
    EXPECT_EQ(map.find("HDcomment.IMU.range")->value, "4");
    EXPECT_EQ(map.find("HDcomment.Fahrzeug.Kennzeichen")->value, "M-\xC3\x84" "B 1234");
    EXPECT_EQ(map.find("HDcomment.Fahrzeug.Temperatur")->unit, "\xC2\xB0" "C");
    EXPECT_EQ(map.find("HDcomment.comment")->value, "cold start <-10 C> & rain");
    EXPECT_EQ(map.find("HDcomment.outside"), nullptr);
}

TEST(MetadataReader, PaddingZerosAfterTheTextAreIgnored) {
    // A writer that counts the block's padding in its length leaves zero
    // bytes at the end of the text.
    std::string text = in_common("<e name=\"a\">1</e>");
    text.append(5, '\0');
    const PropertyMap map = read(text);
    EXPECT_EQ(only(map, "R.a").value, "1");
}

TEST(MetadataReader, ZeroByteEndsTheText) {
    std::string text = in_common("<e name=\"a\">1</e>");
    text.insert(text.find("</e>"), 1, '\0');
    EXPECT_TRUE(read(text).empty());
}

TEST(MetadataReader, NonAsciiNamesAndEncodings) {
    const PropertyMap utf8 = read("\xEF\xBB\xBF<Ger\xC3\xA4t><common_properties><tree name=\"\xE6\xB8\xA9\">"
                                  "<e name=\"\xCE\xB1\" unit=\"\xC2\xB5s\">\xE2\x82\xAC</e></tree></common_properties>"
                                  "</Ger\xC3\xA4t>");
    const PropertyNode& node = only(utf8, "Ger\xC3\xA4t.\xE6\xB8\xA9.\xCE\xB1");
    EXPECT_EQ(node.name, "\xCE\xB1");
    EXPECT_EQ(node.unit, "\xC2\xB5s");
    EXPECT_EQ(node.value, "\xE2\x82\xAC");

    // A declared single-byte encoding arrives as UTF-8.
    const PropertyMap latin1 =
        read("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><R><common_properties><e name=\"t\" unit=\"\xB0"
             "C\">\xE9t\xE9</e></common_properties></R>");
    const PropertyNode& latin = only(latin1, "R.t");
    EXPECT_EQ(latin.unit, "\xC2\xB0" "C");
    EXPECT_EQ(latin.value, "\xC3\xA9t\xC3\xA9");
}

TEST(MetadataReader, InternalEntitiesExpand) {
    const PropertyMap map = read(
        "<!DOCTYPE R [<!ENTITY unit \"km/h\"><!ATTLIST e ro CDATA \"true\">]>"
        "<R><common_properties><e name=\"v\" unit=\"&unit;\">&unit; max</e></common_properties></R>");
    const PropertyNode& node = only(map, "R.v");
    EXPECT_EQ(node.unit, "km/h");
    EXPECT_EQ(node.value, "km/h max");
    EXPECT_TRUE(node.read_only);  // defaulted by the document's own declaration
}

TEST(MetadataReader, NotCompleteXmlGivesNothing) {
    const std::string good = in_common("<e name=\"a\">1</e>");
    for (const std::string& text :
         std::vector<std::string>{"", " ", "plain text comment", "Recorded with logger, 2 channels",
                                  good.substr(0, good.size() - 1),  // unterminated
                                  good + "<extra/>",                // two document elements
                                  in_common("<e name=\"a\">1</e><e name=\"b\" name=\"c\"/>"),
                                  in_common("<e name=\"a\">\xFF</e>"),        // not UTF-8
                                  in_common("<e name=\"a\">\xED\xA0\x80</e>"),  // encoded surrogate
                                  in_common("<e name=\"a\">&undefined;</e>"),
                                  "<R><common_properties><e name=\"a\">1</e></common_properties></X>",
                                  "<?xml version=\"1.0\" encoding=\"x-unknown\"?><R/>"}) {
        EXPECT_TRUE(read(text).empty()) << testing::PrintToString(text);
    }
    EXPECT_TRUE(read_metadata(nullptr, 0).empty());
    EXPECT_TRUE(read_metadata(nullptr, 100).empty());
}

TEST(MetadataReader, HugeComment) {
    std::string body;
    std::vector<std::string> paths;
    for (int t = 0; t < 100; ++t) {
        body += "<tree name=\"group" + std::to_string(t) + "\">";
        for (int i = 0; i < 200; ++i) {
            const std::string name = "signal" + std::to_string(i);
            body += "<e name=\"" + name + "\" type=\"integer\" unit=\"ms\">" + std::to_string(t * 1000 + i) + "</e>";
            paths.push_back("R.group" + std::to_string(t) + "." + name);
        }
        body += "</tree>";
    }
    const std::string long_value(20u << 20, 'v');
    body += "<e name=\"blob\"><![CDATA[" + long_value + "]]></e>";
    paths.push_back("R.blob");

    const PropertyMap map = read(in_common(body));
    ASSERT_EQ(map.size(), 20001);
    EXPECT_EQ(keys_of(map), slot_order_model::order(paths));
    EXPECT_EQ(map.find("R.group42.signal17")->value, "42017");
    EXPECT_EQ(map.find("R.blob")->value.size(), long_value.size());
}

TEST(MetadataReader, DeepNesting) {
    std::string text = "<R><common_properties>";
    for (int i = 0; i < 100000; ++i) text += "<tree name=\"t\">";
    text += "<e name=\"x\">deep</e>";
    for (int i = 0; i < 100000; ++i) text += "</tree>";
    text += "</common_properties></R>";
    const PropertyMap map = read(text);
    ASSERT_EQ(map.size(), 1);
    EXPECT_EQ(map.begin()->key.size(), 2 + 100000 * 2 + 1);
    EXPECT_EQ(map.begin()->node.value, "deep");
}

TEST(MetadataReader, PathsThatWouldGrowQuadraticallyAreRefused) {
    // A 1 MB tree name over 30000 small properties would need 30 GB of paths.
    std::string text = "<R><common_properties><tree name=\"" + std::string(1u << 20, 'n') + "\">";
    for (int i = 0; i < 30000; ++i) text += "<e name=\"" + std::to_string(i) + "\"/>";
    text += "</tree></common_properties></R>";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(read(text).empty());
    // Not a timing test: only a guard against the test itself running for minutes.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));

    // The same shape with a realistic name is read in full.
    std::string small = "<R><common_properties><tree name=\"group\">";
    for (int i = 0; i < 30000; ++i) small += "<e name=\"" + std::to_string(i) + "\"/>";
    small += "</tree></common_properties></R>";
    EXPECT_EQ(read(small).size(), 30000);
}

TEST(MetadataReader, EveryCallParsesAfresh) {
    const std::string text = in_common("<e name=\"a\">1</e>");
    const PropertyMap first = read(text);
    const PropertyMap second = read(text);
    EXPECT_EQ(keys_of(first), keys_of(second));
    EXPECT_EQ(second.find("R.a")->value, "1");
}

}  // namespace

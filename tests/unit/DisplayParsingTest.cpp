#include "linux/x11/XMonitors.h"

#include <gtest/gtest.h>

#include <string>

using namespace core::x11;

namespace {

// A 128-byte EDID base block with the given 18-byte descriptors from byte 54 on.
std::string edidWith(const std::vector<std::string>& descriptors)
{
    std::string edid(128, '\0');
    edid.replace(0, 8, std::string("\x00\xff\xff\xff\xff\xff\xff\x00", 8));
    size_t at = 54;
    for (const std::string& d : descriptors) {
        edid.replace(at, d.size(), d);
        at += 18;
    }
    return edid;
}

std::string textDescriptor(uint8_t tag, const std::string& text)
{
    std::string d(5, '\0');
    d[3] = char(tag);
    d += text;
    d.resize(18, ' ');
    return d;
}

} // namespace

TEST(Edid, ProductNameComesFromItsOwnDescriptor)
{
    const std::string timing(18, '\x01'); // a detailed timing descriptor, not text
    const std::string edid = edidWith({timing, textDescriptor(0xFF, "SERIAL123\n"), textDescriptor(0xFC, "VX2780 4K\n")});
    EXPECT_EQ(edidProductName(edid), QStringLiteral("VX2780 4K"));
}

TEST(Edid, NameFillingTheWholeDescriptorHasNoLineFeed)
{
    EXPECT_EQ(edidProductName(edidWith({textDescriptor(0xFC, "ABCDEFGHIJKLM")})), QStringLiteral("ABCDEFGHIJKLM"));
}

TEST(Edid, MissingOrTruncatedGivesNothing)
{
    EXPECT_TRUE(edidProductName(edidWith({textDescriptor(0xFE, "some text\n")})).isEmpty());
    EXPECT_TRUE(edidProductName(edidWith({textDescriptor(0xFC, "NAME\n")}).substr(0, 60)).isEmpty());
    EXPECT_TRUE(edidProductName({}).isEmpty());
}

TEST(XftDpi, ReadsTheValueFromTheResourceDatabase)
{
    EXPECT_EQ(xftDpi("Xft.antialias:\t1\nXft.dpi:\t144\nXft.hinting:\t1\n"), 144.0);
    EXPECT_EQ(xftDpi("Xft.dpi: 120.5"), 120.5);
    EXPECT_EQ(xftDpi("*background: grey\n"), std::nullopt);
    EXPECT_EQ(xftDpi("Xft.dpi:\tlarge\n"), std::nullopt);
    EXPECT_EQ(xftDpi("Xft.dpix: 100\n"), std::nullopt);
    EXPECT_EQ(xftDpi(""), std::nullopt);
}

namespace {

core::DisplayInfo at(quint32 id, double x, double w, bool main = false)
{
    core::DisplayInfo d;
    d.id = id;
    d.x = x;
    d.width = w;
    d.height = 1080;
    d.isMain = main;
    return d;
}

std::vector<quint32> ids(const std::vector<core::DisplayInfo>& list)
{
    std::vector<quint32> out;
    for (const auto& d : list)
        out.push_back(d.id);
    return out;
}

} // namespace

TEST(Mirrors, OneOfEachRectangleIsListedPreferringThePrimary)
{
    EXPECT_EQ(ids(withoutMirrors({at(1, 0, 1920), at(2, 1920, 1920), at(3, 0, 1920)})), (std::vector<quint32>{1, 2}));
    EXPECT_EQ(ids(withoutMirrors({at(1, 0, 1920), at(2, 1920, 1920), at(3, 0, 1920, true)})),
              (std::vector<quint32>{3, 2}));
    // Overlapping is not mirroring.
    EXPECT_EQ(ids(withoutMirrors({at(1, 0, 1920), at(2, 0, 1280)})), (std::vector<quint32>{1, 2}));
}

TEST(MainDisplay, ThePrimaryElseTheOneAtTheOriginElseTheFirst)
{
    auto below = [](core::DisplayInfo d) {
        d.y = 1080;
        return d;
    };
    const struct {
        const char* name;
        std::vector<core::DisplayInfo> displays;
        std::vector<quint32> main;
    } rows[] = {
        {"the primary", {at(1, 0, 1920), at(2, 1920, 1920, true)}, {2}},
        {"no primary: the one at the origin", {at(1, 1920, 1920), at(2, 0, 1920)}, {2}},
        {"none at the origin: the first", {below(at(1, 1920, 1920)), below(at(2, 0, 1920))}, {1}},
        {"one display without primary", {at(7, 0, 1920)}, {7}},
        {"none", {}, {}},
    };
    for (const auto& row : rows) {
        std::vector<quint32> main;
        for (const auto& d : withOneMain(row.displays))
            if (d.isMain)
                main.push_back(d.id);
        EXPECT_EQ(main, row.main) << row.name;
    }
}

#include "Apps.h"

#include <gtest/gtest.h>

using namespace core;
using Apps::DesktopEntry;

namespace {

const std::vector<DesktopEntry> kEntries = {
    {QStringLiteral("org.example.Editor.desktop"), QStringLiteral("Editor"), {}, QStringLiteral("editor"), {}},
    {QStringLiteral("viewer.desktop"), QStringLiteral("Viewer"), QStringLiteral("PicView"), QStringLiteral("pv"), {}},
    {QStringLiteral("term.desktop"), QStringLiteral("Terminal"), {}, QStringLiteral("xterm"), {}},
    {QStringLiteral("org.example.Paint.desktop"), QStringLiteral("Paint"), QStringLiteral("Painter"), QStringLiteral("paint"), {}},
};

TopWindow window(quint32 id, qint32 pid, QString cls, QString title, Geometry::Rect frame = {0, 0, 400, 300})
{
    TopWindow w;
    w.id = id;
    w.pid = pid;
    w.wmClass = std::move(cls);
    w.title = std::move(title);
    w.frame = frame;
    w.normal = true;
    return w;
}

struct MatchRow {
    const char* name;
    QString appId, instance, cls, executable;
    const char* expected; // entry id, or null
};
void PrintTo(const MatchRow& row, std::ostream* os) { *os << row.name; }

class AppsMatch : public ::testing::TestWithParam<MatchRow> { };

TEST_P(AppsMatch, FindsTheEntryOfAWindow)
{
    const MatchRow& row = GetParam();
    TopWindow w = window(1, 10, row.cls, QStringLiteral("t"));
    w.appId = row.appId;
    w.wmInstance = row.instance;
    w.executable = row.executable;
    const DesktopEntry* e = Apps::match(w, kEntries);
    if (!row.expected)
        EXPECT_EQ(e, nullptr);
    else
        EXPECT_EQ(e ? e->id : QString(), QString::fromLatin1(row.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AppsMatch,
    ::testing::Values(
        MatchRow{"application id", QStringLiteral("org.example.Editor"), {}, QStringLiteral("Other"), {}, "org.example.Editor.desktop"},
        MatchRow{"StartupWMClass, any case", {}, {}, QStringLiteral("picview"), {}, "viewer.desktop"},
        MatchRow{"WM_CLASS instance as the id", {}, QStringLiteral("viewer"), QStringLiteral("X"), {}, "viewer.desktop"},
        MatchRow{"program", {}, {}, QStringLiteral("XTerm"), QStringLiteral("xterm"), "term.desktop"},
        MatchRow{"WM_CLASS before its instance, as the id", {}, QStringLiteral("viewer"), QStringLiteral("term"), {}, "term.desktop"},
        MatchRow{"WM_CLASS before its instance, as StartupWMClass", {}, QStringLiteral("PicView"), QStringLiteral("Painter"), {}, "org.example.Paint.desktop"},
        MatchRow{"application id wins over the class", QStringLiteral("viewer"), {}, QStringLiteral("org.example.Editor"), {}, "viewer.desktop"},
        MatchRow{"nothing", QStringLiteral("nope"), QStringLiteral("nope"), QStringLiteral("Nope"), QStringLiteral("nope"), nullptr}));

// Two displays side by side at scale 2: windows come in pixels and leave in points.
const std::vector<DisplayInfo> kDisplays = {
    {1, QStringLiteral("A"), 1000, 500, 2, true, 0, 0},
    {2, QStringLiteral("B"), 800, 500, 2, false, 1000, 0},
};

TEST(Apps, RunningGroupsFiltersAndSortsByName)
{
    TopWindow dock = window(9, 40, QStringLiteral("Dock"), QStringLiteral("dock"));
    dock.normal = false;
    TopWindow iconified = window(5, 30, QStringLiteral("PicView"), QStringLiteral("pic"));
    iconified.iconified = true;
    const std::vector<TopWindow> windows = {
        window(1, 20, QStringLiteral("zed"), QStringLiteral("straddles"), {1800, 0, 600, 400}), // centre on B
        window(2, 20, QStringLiteral("zed"), QStringLiteral("narrow"), {0, 0, 80, 600}),        // 40 points wide
        window(3, 20, QStringLiteral("zed"), QString(), {0, 0, 400, 400}),                      // untitled
        window(10, 20, QStringLiteral("zed"), QStringLiteral("fifty"), {0, 0, 100, 100}),       // 50 points: kept
        window(4, 50, QStringLiteral("Alpha"), QStringLiteral("first of two alphas")),
        iconified,
        dock,                                                          // a dock alone is no application
        window(6, 99, QStringLiteral("Self"), QStringLiteral("agent")), // the agent itself
        window(7, 60, QStringLiteral("alpha"), QStringLiteral("second of two alphas")),
        window(8, 70, QString(), QStringLiteral("nameless")),
    };
    const auto apps = Apps::running(windows, 7, kEntries, kDisplays, 99);

    std::vector<std::pair<qint32, QString>> order;
    for (const auto& a : apps)
        order.push_back({a.info.pid, a.info.name});
    // Case-insensitive and stable: the two alphas keep their window order.
    const std::vector<std::pair<qint32, QString>> expected = {
        {70, QStringLiteral("?")}, {50, QStringLiteral("Alpha")}, {60, QStringLiteral("alpha")},
        {30, QStringLiteral("Viewer")}, {20, QStringLiteral("zed")}};
    EXPECT_EQ(order, expected);

    const AppInfo& zed = apps[4].info;
    EXPECT_EQ(zed.bundleId, QStringLiteral("pid:20"));
    EXPECT_EQ(apps[4].windows, (std::vector<quint32>{1, 2, 3, 10}));
    ASSERT_EQ(zed.windows.size(), 2u);
    EXPECT_EQ(zed.windows[1].title, QStringLiteral("fifty"));
    const WindowInfo& w = zed.windows[0];
    EXPECT_EQ(w.title, QStringLiteral("straddles"));
    EXPECT_EQ((std::vector<double>{w.x, w.y, w.width, w.height}), (std::vector<double>{900, 0, 300, 200}));
    EXPECT_EQ(w.displayId, std::optional<quint32>(2));
    EXPECT_FALSE(zed.hidden);

    EXPECT_EQ(apps[3].info.bundleId, QStringLiteral("viewer.desktop"));
    EXPECT_TRUE(apps[3].info.hidden);
    EXPECT_TRUE(apps[2].info.active);
    EXPECT_FALSE(apps[1].info.active);
}

TEST(Apps, InstalledAreSortedByNameWhateverTheCase)
{
    const std::vector<DesktopEntry> entries = {
        {QStringLiteral("b.desktop"), QStringLiteral("beta"), {}, {}, {}},
        {QStringLiteral("a.desktop"), QStringLiteral("Alpha"), {}, {}, {}},
        {QStringLiteral("c.desktop"), QStringLiteral("Gamma"), {}, {}, {}},
    };
    QStringList names;
    for (const InstalledApp& app : Apps::installed(entries))
        names << app.name;
    EXPECT_EQ(names, (QStringList{QStringLiteral("Alpha"), QStringLiteral("beta"), QStringLiteral("Gamma")}));
}

TEST(Apps, IconIsA64PixelPngOfTheWindowIcon)
{
    const IconPixels red{2, 1, {0xffff0000, 0x800000ff}};
    const QImage png = QImage::fromData(QByteArray::fromBase64(Apps::iconPng(Apps::toImage(red)).toLatin1()), "PNG");
    ASSERT_EQ(png.size(), QSize(64, 64));
    EXPECT_EQ(png.pixel(0, 32), 0xffff0000);
    EXPECT_EQ(qAlpha(png.pixel(63, 32)), 0x80);
    EXPECT_TRUE(Apps::iconPng(Apps::toImage({4, 4, {1, 2}})).isEmpty()); // short pixel data
}

// A property of sizes back to back: {width, height, pixels...}, each pixel its size's width.
std::vector<quint32> iconProperty(std::initializer_list<std::pair<quint32, quint32>> sizes)
{
    std::vector<quint32> p;
    for (auto [w, h] : sizes) {
        p.push_back(w);
        p.push_back(h);
        p.insert(p.end(), size_t(w) * h, w);
    }
    return p;
}

TEST(Apps, PicksTheSmallestIconNotBelowTheEdgeElseTheLargest)
{
    struct Row {
        const char* name;
        std::vector<quint32> property;
        int edge;
        int width; // of the pick, 0: none
    };
    std::vector<quint32> truncated = iconProperty({{16, 16}, {64, 64}});
    truncated.pop_back();
    std::vector<quint32> huge = iconProperty({{16, 16}});
    huge.insert(huge.end(), {0xffffffffu, 0xffffffffu, 1, 2, 3});
    const Row rows[] = {
        {"exact", iconProperty({{16, 16}, {64, 64}, {128, 128}}), 64, 64},
        {"next larger, whatever the order", iconProperty({{256, 256}, {16, 16}, {96, 96}, {32, 32}}), 64, 96},
        {"largest when all are smaller", iconProperty({{16, 16}, {48, 32}, {24, 24}}), 64, 48},
        {"a size cut short ends the list", truncated, 64, 16},
        {"a size larger than the property ends it", huge, 64, 16},
        {"zero width", iconProperty({{0, 16}}), 64, 0},
        {"empty", {}, 64, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::optional<IconPixels> icon = Apps::pickIcon(row.property, row.edge);
        if (row.width == 0) {
            EXPECT_FALSE(icon);
            continue;
        }
        ASSERT_TRUE(icon);
        EXPECT_EQ(icon->width, row.width);
        ASSERT_EQ(icon->argb.size(), size_t(icon->width) * size_t(icon->height));
        EXPECT_EQ(icon->argb.front(), quint32(row.width)); // its own pixels, not a neighbour's
        EXPECT_EQ(icon->argb.back(), quint32(row.width));
    }
}

} // namespace

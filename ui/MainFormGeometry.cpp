#include "ui/MainFormGeometry.h"

#include "ui/UiKit.h"

namespace brindle {

namespace {

struct Place {
    QStringView name;
    int left, top, width, height; // twips
};

// The designed places in twips, relative to the container of each control.
constexpr Place kPlaces[] = {
    {u"Command6", 0, 0, 1575, 375},
    {u"Command13", 0, 360, 1575, 375},
    {u"Command2", 0, 720, 1575, 375},
    {u"Command9", 0, 1080, 1575, 375},
    {u"Command4", 0, 1440, 1575, 375},
    {u"picMain", 1620, 0, 2265, 1800},
    {u"Command8", 3960, 0, 1455, 375},
    {u"Command7", 3960, 360, 1455, 375},
    {u"Command3", 3960, 720, 1455, 375},
    {u"Command10", 3960, 1080, 1455, 375},
    {u"Command11", 3960, 1440, 1455, 375},
    // The status panel and what it holds.
    {u"Frame3", 120, 1860, 5175, 975},
    {u"Image1", 120, 300, 240, 240},
    {u"Check1", 480, 240, 3015, 300},
    {u"Text7", 3480, 240, 735, 270},
    {u"Label1", 4320, 300, 375, 255},
    {u"Text15", 480, 600, 855, 270},
    {u"Label13", 1560, 660, 3015, 255},
    {u"Command12", 3480, 600, 975, 300},
    // The deletion-rule panel and what it holds.
    {u"Frame1", 120, 2860, 5175, 1860},
    {u"Option1", 120, 240, 2415, 615},
    {u"Option6", 120, 760, 2655, 255},
    {u"Option4", 120, 1100, 2535, 255},
    {u"Option5", 120, 1440, 4695, 375},
    {u"Text10", 2280, 1080, 1335, 270},
    {u"Label3", 3720, 1140, 1335, 255},
    {u"Frame2", 2520, 240, 2535, 735},
    {u"Text11", 120, 360, 2295, 270},
};

// Outer window sizes in twips.
constexpr int kNormalWidth = 5475, kNormalHeight = 5505;
constexpr int kMediumWidth = 4035, kMediumHeight = 2505;
constexpr int kSmallWidth = 1600, kSmallHeight = 1380;

} // namespace

QSize mainFormOuterSize(WindowSize size) {
    switch (size) {
    case WindowSize::Medium:
        return QSize(twips(kMediumWidth), twips(kMediumHeight));
    case WindowSize::Small:
        return QSize(twips(kSmallWidth), twips(kSmallHeight));
    case WindowSize::Normal:
        break;
    }
    return QSize(twips(kNormalWidth), twips(kNormalHeight));
}

QSize mainFormClientSize(WindowSize size, QSize frame) {
    const QSize outer = mainFormOuterSize(size);
    QSize client(qMax(1, outer.width() - frame.width()), qMax(1, outer.height() - frame.height()));
    if (size == WindowSize::Medium)
        client.setWidth(qMin(client.width(), mainFormPlace(u"Command8").left()));
    return client;
}

QRect mainFormPlace(QStringView designName) {
    for (const Place& p : kPlaces) {
        if (p.name == designName)
            return twipsRect(p.left, p.top, p.width, p.height);
    }
    return QRect();
}

} // namespace brindle

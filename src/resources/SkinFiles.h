#pragma once

#include "resources/Skin.h"

#include <QSize>
#include <QString>

namespace sp::skin {

// What the painter writes and the library loads back from its resources.

inline constexpr Heading kHeadings[] = {Heading::Connect, Heading::Agreement, Heading::Start, Heading::Service,
                                        Heading::About};
inline constexpr int kProgramIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};
inline constexpr int kTrayIconSizes[] = {16, 22, 24, 32, 48};

inline QSize HeadingSize(Heading heading)
{
    switch (heading) {
    case Heading::Agreement: return {361, 25};
    case Heading::Start:
    case Heading::Service: return {113, 25};
    case Heading::Connect:
    case Heading::About: break;
    }
    return {145, 25};
}

inline QString HeadingFileName(Heading heading)
{
    switch (heading) {
    case Heading::Connect: return QStringLiteral("heading-connect.png");
    case Heading::Agreement: return QStringLiteral("heading-agreement.png");
    case Heading::Start: return QStringLiteral("heading-start.png");
    case Heading::Service: return QStringLiteral("heading-service.png");
    case Heading::About: break;
    }
    return QStringLiteral("heading-about.png");
}

inline QString BackgroundFileName()
{
    return QStringLiteral("background.png");
}

inline QString ProgramIconFileName(int size)
{
    return QStringLiteral("icon-%1.png").arg(size);
}

inline QString TrayIconFileName(bool connected, int size)
{
    return QStringLiteral("tray-%1-%2.png").arg(connected ? QStringLiteral("on") : QStringLiteral("off")).arg(size);
}

} // namespace sp::skin

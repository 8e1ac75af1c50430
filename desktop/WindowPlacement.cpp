#include "desktop/WindowPlacement.h"

#include <algorithm>

QPoint PlaceBeside(const QRect &area, const QRect &mainFrame, const QRect &titleBar,
                   const QRect &keepClear, const QSize &size)
{
    const int w = size.width();
    const int h = size.height();
    // A window larger than the screen keeps its top left corner on it.
    const auto fitX = [&](int x) { return std::max(area.left(), std::min(x, area.right() - w + 1)); };
    const auto fitY = [&](int y) { return std::max(area.top(), std::min(y, area.bottom() - h + 1)); };

    if (mainFrame.right() + w <= area.right())
        return {mainFrame.right() + 1, fitY(mainFrame.top())};
    if (mainFrame.left() - w >= area.left())
        return {mainFrame.left() - w, fitY(mainFrame.top())};
    if (mainFrame.bottom() + h <= area.bottom())
        return {fitX(mainFrame.left()), mainFrame.bottom() + 1};
    if (mainFrame.top() - h >= area.top())
        return {fitX(mainFrame.left()), mainFrame.top() - h};

    // Over the main window: at the right, where the terminal's lines end and
    // are mostly blank, away from the menus and the toolbar. Never over the
    // main window's title bar: its buttons and the grip that moves it stay
    // within reach.
    const int x = fitX(area.right() - w + 1);
    const QPoint candidates[] = {
        {x, area.top()},
        {x, std::max(area.top(), titleBar.bottom() + 1)},
        {x, fitY(keepClear.bottom() + 1)},
    };
    const auto covered = [&](QPoint corner) {
        const QRect overlap = QRect(corner, size).intersected(keepClear);
        return qint64(overlap.width()) * overlap.height();
    };
    // The second one is always below the title bar, even where that takes
    // the console past the screen's bottom (its own title bar stays in view).
    QPoint best = candidates[1];
    for (const QPoint &corner : candidates) {
        if (!QRect(corner, size).intersects(titleBar) && covered(corner) < covered(best))
            best = corner;
    }
    return best;
}

#pragma once
#include <QRect>
#include <QSize>
#include <QStringView>

namespace brindle {

// The main window's outer sizes: the normal one of the start, and the two smaller ones of the
// window-mode buttons.
enum class WindowSize { Normal, Medium, Small };

// The outer size (frame and title bar included) in pixels.
QSize mainFormOuterSize(WindowSize size);
// The client size within the window system's `frame` (its width and height together) for an outer
// size. The medium size shows none of the right column of buttons, however thin the frame.
QSize mainFormClientSize(WindowSize size, QSize frame);

// The designed place of a visible control of the main window, by its design name ("Command6",
// "Frame3", "Text10" ...), in pixels relative to its container (the window's client area or its
// frame). Names without a place give an empty rectangle.
QRect mainFormPlace(QStringView designName);

} // namespace brindle

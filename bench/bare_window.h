// The anchor the window is measured against: what any Qt 6 program with one
// button pays to appear, at Form1's size and title.
#pragma once

#include "Form1Layout.h"

#include <QPushButton>
#include <QWidget>

#include <memory>

inline std::unique_ptr<QWidget> makeBareWindow()
{
    auto window = std::make_unique<QWidget>();
    window->setWindowTitle(QStringLiteral("Form1"));
    using namespace Form1Layout;
    window->resize(pixels(Window.width), pixels(Window.height));
    auto *button = new QPushButton(QStringLiteral("Play"), window.get());
    button->setGeometry(pixels(Command2.left), pixels(Command2.top), pixels(Command2.width),
                        pixels(Command2.height));
    return window;
}

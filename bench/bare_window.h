// The anchor the window is measured against: what any Qt 6 program with one
// button pays to appear, at Form1's size and title.
#pragma once

#include <QPushButton>
#include <QWidget>

#include <memory>

inline std::unique_ptr<QWidget> makeBareWindow()
{
    auto window = std::make_unique<QWidget>();
    window->setWindowTitle(QStringLiteral("Form1"));
    window->resize(415, 240);
    auto *button = new QPushButton(QStringLiteral("Play"), window.get());
    button->setGeometry(16, 8, 113, 25);
    return window;
}

#pragma once

#include <QApplication>
#include <QImage>
#include <QWidget>

#include <gtest/gtest.h>

#include <memory>

// One application object for the whole test executable.
class QtTestApp : public ::testing::Environment
{
public:
    void SetUp() override
    {
        static int argc = 1;
        static char name[] = "test";
        static char* argv[] = {name, nullptr};
        m_app = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { m_app.reset(); }

private:
    std::unique_ptr<QApplication> m_app;
};

inline const auto* const g_qtTestApp = ::testing::AddGlobalTestEnvironment(new QtTestApp);

// What the widget paints by itself, over a background of the given colour.
inline QImage RenderWidget(QWidget& widget, QColor background = QColor(255, 0, 255))
{
    QImage image(widget.size(), QImage::Format_RGB32);
    image.fill(background);
    widget.render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
    return image;
}

inline QColor Pixel(const QImage& image, int x, int y)
{
    return image.pixelColor(x, y);
}

#pragma once
// The window's two simple drawn components: a filled circle (the frame lamp
// and its rim) and a picture drawn at its own size.

#include <QColor>
#include <QImage>
#include <QWidget>

namespace app {

// A circle with the smaller side of the box as diameter, centred, with a
// thin black outline.
class TShape : public QWidget {
    Q_OBJECT
public:
    explicit TShape(QWidget* parent = nullptr) : QWidget(parent) {}
    QColor BrushColor() const { return brush_; }
    void SetBrushColor(const QColor& color);
    QRect CircleRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor brush_ = Qt::white;
};

// A picture drawn from the top-left corner, not scaled; what does not fit is
// cut off.
class TImage : public QWidget {
    Q_OBJECT
public:
    explicit TImage(QWidget* parent = nullptr) : QWidget(parent) {}
    void SetPicture(const QImage& picture);
    const QImage& Picture() const { return picture_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage picture_;
};

// Decodes a JPEG with libjpeg. Throws std::runtime_error on a broken image.
QImage DecodeJpeg(const unsigned char* data, std::size_t size);

// The logo stored in the program.
QImage LogoPicture();

// A colour name for assistive technology ("yellow", "lime", ...).
QString ColorName(const QColor& color);

} // namespace app

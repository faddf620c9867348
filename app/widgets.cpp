#include "widgets.h"

#include <QAccessible>
#include <QCoreApplication>
#include <QPainter>
#include <cstdio>
#include <csetjmp>
#include <jpeglib.h>
#include <stdexcept>

#include "app/logo_data.h"

namespace app {

void TShape::SetBrushColor(const QColor& color)
{
    if (color == brush_)
        return;
    brush_ = color;
    setAccessibleDescription(ColorName(color));
    update();
    if (QAccessible::isActive()) {
        QAccessibleEvent event(this, QAccessible::DescriptionChanged);
        QAccessible::updateAccessibility(&event);
    }
}

QRect TShape::CircleRect() const
{
    const int d = std::min(width(), height());
    return QRect((width() - d) / 2, (height() - d) / 2, d, d);
}

void TShape::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(brush_);
    painter.drawEllipse(QRectF(CircleRect()).adjusted(0.5, 0.5, -0.5, -0.5));
}

void TImage::SetPicture(const QImage& picture)
{
    picture_ = picture;
    update();
}

void TImage::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.drawImage(QPoint(0, 0), picture_); // clipped to the widget, never scaled
}

namespace {

struct JpegError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void OnJpegError(j_common_ptr info)
{
    auto* err = reinterpret_cast<JpegError*>(info->err);
    info->err->format_message(info, err->message);
    std::longjmp(err->jump, 1);
}

} // namespace

QImage DecodeJpeg(const unsigned char* data, std::size_t size)
{
    jpeg_decompress_struct info{};
    JpegError err{};
    info.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = OnJpegError;
    err.mgr.output_message = [](j_common_ptr) {};
    QImage image;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&info);
        throw std::runtime_error(std::string("Broken JPEG picture: ") + err.message);
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    image = QImage(static_cast<int>(info.output_width), static_cast<int>(info.output_height),
                   QImage::Format_RGB888);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = image.scanLine(static_cast<int>(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return image;
}

QImage LogoPicture()
{
    return DecodeJpeg(kLogoJpeg, kLogoJpegSize);
}

QString ColorName(const QColor& color)
{
    switch (color.rgb() & 0xFFFFFF) {
    case 0xFFFF00: return QCoreApplication::translate("Quillprint", "yellow");
    case 0x00FF00: return QCoreApplication::translate("Quillprint", "lime");
    case 0xFF0000: return QCoreApplication::translate("Quillprint", "red");
    case 0xFFFFFF: return QCoreApplication::translate("Quillprint", "white");
    case 0xC0C0C0: return QCoreApplication::translate("Quillprint", "silver");
    default: return color.name();
    }
}

} // namespace app

// Build tool: renders the application's SVG icon to a square PNG for the hicolor theme.
// Usage: quillet_render_icon SOURCE.svg SIZE OUTPUT.png
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SOURCE.svg SIZE OUTPUT.png\n", argv[0]);
        return 2;
    }
    const int size = std::atoi(argv[2]);
    if (size < 16 || size > 1024) {
        std::fprintf(stderr, "quillet_render_icon: size %s is not between 16 and 1024\n", argv[2]);
        return 2;
    }
    QSvgRenderer svg{QString::fromLocal8Bit(argv[1])};
    if (!svg.isValid()) {
        std::fprintf(stderr, "quillet_render_icon: %s is not a valid SVG file\n", argv[1]);
        return 1;
    }
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        svg.render(&p);
    }
    // Written beside the target and renamed, so a failed run leaves no half-written icon.
    const QString output = QString::fromLocal8Bit(argv[3]);
    const QString partial = output + QStringLiteral(".partial");
    if (!image.save(partial, "PNG") ||
        std::rename(partial.toLocal8Bit().constData(), output.toLocal8Bit().constData()) != 0) {
        std::fprintf(stderr, "quillet_render_icon: could not write %s\n", argv[3]);
        return 1;
    }
    return 0;
}

// brindle-painter <folder>: paints the slideshow pictures, the picture box's built-in picture and
// the program's icon into <folder>:
//   画像データ/1.jpg … 16.jpg
//   builtin.png
//   icons/hicolor/<n>x<n>/apps/brindle.png and icons/hicolor/scalable/apps/brindle.svg
// Everything is drawn from fixed seeds, so every build makes the same pictures.
#include "Icon.h"
#include "Scenes.h"

#include <cstdio>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>

namespace {

constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};
constexpr int kJpegQuality = 95;

bool save(const QImage& image, const QString& path, int quality = -1) {
    QDir().mkpath(QFileInfo(path).path());
    QImageWriter writer(path);
    if (quality >= 0)
        writer.setQuality(quality);
    if (writer.write(image))
        return true;
    std::fprintf(stderr, "brindle-painter: %s: %s\n", qPrintable(path), qPrintable(writer.errorString()));
    return false;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv); // for the image format plugins
    if (argc != 2) {
        std::fprintf(stderr, "usage: brindle-painter <folder>\n");
        return 1;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    bool ok = true;
    for (int n = 1; n <= painter::kSlides; ++n)
        ok &= save(painter::slide(n), out.filePath(QStringLiteral("画像データ/%1.jpg").arg(n)), kJpegQuality);
    ok &= save(painter::builtInPicture(), out.filePath(QStringLiteral("builtin.png")));
    for (int size : kIconSizes)
        ok &= save(painter::iconImage(size),
                   out.filePath(QStringLiteral("icons/hicolor/%1x%1/apps/brindle.png").arg(size)));
    const QString svgPath = out.filePath(QStringLiteral("icons/hicolor/scalable/apps/brindle.svg"));
    QDir().mkpath(QFileInfo(svgPath).path());
    QFile svg(svgPath);
    ok &= svg.open(QIODevice::WriteOnly | QIODevice::Truncate) && svg.write(painter::iconSvg().toUtf8()) > 0;
    return ok ? 0 : 1;
}

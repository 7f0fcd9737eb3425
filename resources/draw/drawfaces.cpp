// Draws every picture of the main window (button faces, check box faces, header
// and toolbar strips, window icon) as PNG files, so they can be redrawn at will.
// Each picture comes at 1x and, as name@2x.png, at 2x for high-density screens;
// the icon also at the sizes a desktop asks for.
//
// Usage: QT_QPA_PLATFORM=offscreen drawfaces <output folder>

#include <QColor>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>
#include <QString>
#include <QTextStream>

#include <cmath>

namespace {

const QString labelFamily = QStringLiteral("Liberation Sans");

const QColor windowGrey(0xE0, 0xE0, 0xE0); // main window background
const QColor stripFill(0xBD, 0xC8, 0xD2);  // toolbar and header strips
const QColor white(Qt::white);
const QColor black(Qt::black);

// Fill, outer edge and inner bevel of one face state.
struct Tones {
    QColor fill;
    QColor edge;
    QColor bevel;
};

const Tones normalTones{QColor(0x73, 0x94, 0xB4), QColor(0x4E, 0x71, 0x92), QColor(0x55, 0x79, 0x9D)};
const Tones pressedTones{QColor(0xA4, 0xB8, 0xCB), QColor(0x9E, 0xB3, 0xC7), QColor(0xB6, 0xC6, 0xD6)};

QFont labelFont(int pixelSize)
{
    QFont font(labelFamily);
    font.setPixelSize(pixelSize);
    font.setBold(true);
    font.setStyleStrategy(QFont::PreferAntialias);
    // Vertical hinting snaps baselines and cap tops to whole pixels; the
    // horizontal phase is chosen per label by sharpestShift().
    font.setHintingPreference(QFont::PreferVerticalHinting);
    return font;
}

// Height of the capital letters as the hinted glyphs draw them.
int capHeight(const QFont &font)
{
    return qRound(QFontMetricsF(font).tightBoundingRect(QStringLiteral("H")).height());
}

// At these sizes a stem that straddles two pixel columns turns into two grey
// columns. Tries a few sub-pixel shifts of the label and returns the one whose
// ink has the fewest half-covered pixels.
qreal sharpestShift(const QFont &font, const QString &text, int scale)
{
    const QFontMetricsF metrics(font);
    const QSize size(qCeil(metrics.horizontalAdvance(text)) + 8, qCeil(metrics.height()) + 8);
    qreal best = 0;
    double bestBlur = 2;
    for (const qreal shift : {0.0, 0.25, 0.5, -0.25}) {
        QImage probe(size * scale, QImage::Format_Grayscale8);
        probe.setDevicePixelRatio(scale);
        probe.fill(0);
        QPainter painter(&probe);
        painter.setRenderHint(QPainter::TextAntialiasing);
        painter.setFont(font);
        painter.setPen(white);
        painter.drawText(QPointF(4 + shift, 4 + metrics.ascent()), text);
        painter.end();
        double blur = 0;
        int inked = 0;
        for (int y = 0; y < probe.height(); ++y) {
            const uchar *row = probe.constScanLine(y);
            for (int x = 0; x < probe.width(); ++x) {
                if (row[x] == 0)
                    continue;
                const double cover = row[x] / 255.0;
                blur += 4 * cover * (1 - cover); // 0 when solid, 1 when half covered
                ++inked;
            }
        }
        blur /= qMax(inked, 1);
        if (blur < bestBlur - 0.01) {
            bestBlur = blur;
            best = shift;
        }
    }
    return best;
}

// A picture of the given size in window pixels, with scale device pixels to each.
QImage canvas(QSize size, qreal scale)
{
    QImage image(size * scale, QImage::Format_RGB32);
    image.setDevicePixelRatio(scale);
    return image;
}

QPainterPath roundedRect(const QRectF &rect, qreal radius)
{
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    return path;
}

// Draws white text with its capital letters centred vertically in the box, so
// labels with and without descenders share one baseline; rounding down leaves
// room for the tail of a "g". A one-pixel shadow keeps the thin letters
// readable, above all on the pale pressed faces.
void drawCentredLabel(QPainter &painter, const QRectF &box, const QString &text, const QColor &shadow)
{
    const QFont &font = painter.font();
    const QRectF ink = QFontMetricsF(font).tightBoundingRect(text);
    const int scale = int(painter.device()->devicePixelRatio());
    const qreal x = std::round(box.left() + (box.width() - ink.width()) / 2 - ink.left())
        + sharpestShift(font, text, scale);
    const qreal baseline = std::floor(box.top() + (box.height() + capHeight(font)) / 2);
    painter.setPen(shadow);
    painter.drawText(QPointF(x + 1, baseline + 1), text);
    painter.setPen(white);
    painter.drawText(QPointF(x, baseline), text);
}

// A bevelled, rounded-corner face inside a one-pixel outer edge. Raised (normal):
// a shade line along the bottom and right. Sunken (pressed): the edge tone
// again along the top and left and a light line along the bottom and right, so
// the fill and label sit one pixel lower and further right. The bevel is drawn
// square and crisp; the rounded edge and corners go on top, antialiased.
QImage buttonFace(QSize size, const QString &label, bool pressed, const QColor &corner, int pixelSize,
                  int scale)
{
    const Tones &tones = pressed ? pressedTones : normalTones;
    const int w = size.width();
    const int h = size.height();
    const qreal radius = h >= 20 ? 3.5 : 2.5;

    QImage image = canvas(size, scale);
    QPainter painter(&image);
    painter.fillRect(0, 0, w, h, tones.bevel);
    QRect body(1, 1, w - 3, h - 3);
    if (pressed) {
        painter.fillRect(body, tones.edge);
        body.adjust(1, 1, 0, 0);
    }
    painter.fillRect(body, tones.fill);

    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath whole;
    whole.addRect(0, 0, w, h);
    painter.fillPath(whole.subtracted(roundedRect(QRectF(1, 1, w - 2, h - 2), radius - 1)), tones.edge);
    painter.fillPath(whole.subtracted(roundedRect(QRectF(0, 0, w, h), radius)), corner);

    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setFont(labelFont(pixelSize));
    const QColor shadow = pressed ? normalTones.fill : normalTones.edge;
    drawCentredLabel(painter, body, label, shadow);
    return image;
}

// A one-pixel frame just inside the rectangle. Lines are filled rectangles, so
// they cover whole device pixels at any scale.
void frame(QPainter &painter, const QRect &rect, const QColor &colour)
{
    painter.fillRect(rect.left(), rect.top(), rect.width(), 1, colour);
    painter.fillRect(rect.left(), rect.bottom(), rect.width(), 1, colour);
    painter.fillRect(rect.left(), rect.top(), 1, rect.height(), colour);
    painter.fillRect(rect.right(), rect.top(), 1, rect.height(), colour);
}

// The date-and-time-stamp option's box: sunken, with a tick when checked.
QImage checkFace(bool checked, int scale)
{
    QImage image = canvas(QSize(14, 14), scale);
    image.fill(checked ? normalTones.fill : QColor(0x9B, 0xB1, 0xC7));
    QPainter painter(&image);
    frame(painter, QRect(0, 0, 14, 14), normalTones.edge);
    // Shadow inside the top and left edges makes the box look pressed in.
    const QColor shade = checked ? normalTones.bevel : normalTones.fill;
    painter.fillRect(1, 1, 12, 1, shade);
    painter.fillRect(1, 1, 1, 12, shade);
    if (checked) {
        // A two-pixel-thick tick, drawn pixel by pixel for crisp edges.
        static const char *const tick[] = {
            "........#", ".......##", "#.....##.", "##...##..", ".##.##...", "..###....", "...#.....",
        };
        for (int row = 0; row < 7; ++row) {
            for (int col = 0; col < 9; ++col) {
                if (tick[row][col] == '#')
                    painter.fillRect(3 + col, 4 + row, 1, 1, QColor(0xE5, 0xEB, 0xF1));
            }
        }
    }
    return image;
}

// A heading strip: framed, with its words at the left.
QImage headerStrip(const QString &words, int scale)
{
    QImage image = canvas(QSize(430, 20), scale);
    image.fill(stripFill);
    QPainter painter(&image);
    frame(painter, QRect(0, 0, 430, 20), black);
    painter.setPen(black);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setFont(labelFont(12));
    const qreal baseline = std::floor((20 + capHeight(painter.font())) / 2.0);
    painter.drawText(QPointF(6 + sharpestShift(painter.font(), words, scale), baseline), words);
    return image;
}

// The raised panel the formatting buttons sit on.
QImage toolbarStrip(int scale)
{
    const int w = 223;
    const int h = 20;
    QImage image = canvas(QSize(w, h), scale);
    image.fill(stripFill);
    QPainter painter(&image);
    painter.fillRect(0, 0, w - 1, 1, white);
    painter.fillRect(0, 0, 1, h - 1, white);
    painter.fillRect(w - 1, 0, 1, h - 1, QColor(0x80, 0x80, 0x80));
    painter.fillRect(0, h - 1, w, 1, black);
    return image;
}

// Window icon: a face-coloured tile with a white speech bubble holding two
// lines of "text". Drawn on a 32-pixel grid, at any size in pixels.
QImage windowIcon(int pixels)
{
    QImage image = canvas(QSize(32, 32), pixels / 32.0);
    image.fill(normalTones.edge);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(normalTones.bevel);
    painter.drawRect(QRectF(1, 1, 30, 30));
    painter.setBrush(normalTones.fill);
    painter.drawRect(QRectF(1, 1, 29, 29));

    QPainterPath bubble;
    bubble.addRoundedRect(QRectF(5, 6, 22, 15), 4, 4);
    QPainterPath tail;
    tail.moveTo(9, 19);
    tail.lineTo(8, 26);
    tail.lineTo(15, 19);
    tail.closeSubpath();
    painter.setBrush(white);
    painter.drawPath(bubble.united(tail));

    painter.setBrush(normalTones.fill);
    painter.drawRect(QRectF(9, 10, 14, 2));
    painter.drawRect(QRectF(9, 15, 10, 2));
    return image;
}

bool save(const QDir &dir, const QString &name, const QImage &image)
{
    const QString path = dir.filePath(name);
    if (!QDir().mkpath(QFileInfo(path).path())) {
        QTextStream(stderr) << "cannot create the folder of " << path << '\n';
        return false;
    }
    // RGB888: plain 24-bit pictures, no alpha channel.
    if (!image.convertToFormat(QImage::Format_RGB888).save(path, "PNG")) {
        QTextStream(stderr) << "cannot write " << path << '\n';
        return false;
    }
    return true;
}

struct FaceSpec {
    const char *name; // file name stem, UP/DOWN appended
    const char *label;
    QSize up;
    QSize down;
    bool onToolbar; // toolbar faces sit on the strip, the others on the window
    int pixelSize;
};

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QTextStream err(stderr);
    if (argc != 2) {
        err << "usage: drawfaces <output folder>\n";
        return 2;
    }
    if (!QFontDatabase::families().contains(labelFamily)) {
        err << labelFamily << " is missing (install fonts-liberation)\n";
        return 1;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.exists() && !QDir().mkpath(dir.path())) {
        err << "cannot create " << dir.path() << '\n';
        return 1;
    }

    const FaceSpec faces[] = {
        {"Bold", "B", {14, 17}, {14, 17}, true, 12},
        {"Underline", "U", {14, 17}, {14, 17}, true, 12},
        {"Italic", "I", {14, 17}, {14, 17}, true, 12},
        {"Link", "Link", {36, 17}, {35, 17}, true, 12},
        {"Image", "Image", {50, 17}, {50, 18}, true, 12},
        {"View", "View", {50, 17}, {50, 18}, true, 12},
        {"Create", "Create", {95, 22}, {95, 22}, false, 13},
        {"Post", "Post", {95, 22}, {95, 22}, false, 13},
        {"Clear", "Clear", {95, 22}, {95, 22}, false, 13},
    };

    bool ok = true;
    for (const int scale : {1, 2}) {
        const QString png = scale == 1 ? QStringLiteral(".png") : QStringLiteral("@2x.png");
        for (const FaceSpec &face : faces) {
            const QColor corner = face.onToolbar ? stripFill : windowGrey;
            const QString stem = QString::fromLatin1(face.name);
            const QString label = QString::fromLatin1(face.label);
            ok &= save(dir, stem + "UP" + png, buttonFace(face.up, label, false, corner, face.pixelSize, scale));
            ok &= save(dir, stem + "DOWN" + png,
                       buttonFace(face.down, label, true, corner, face.pixelSize, scale));
        }
        ok &= save(dir, "CheckUP" + png, checkFace(false, scale));
        ok &= save(dir, "CheckDOWN" + png, checkFace(true, scale));
        ok &= save(dir, "HeaderCreate" + png, headerStrip(QStringLiteral("Create A Forum"), scale));
        ok &= save(dir, "HeaderPost" + png, headerStrip(QStringLiteral("Post A Message"), scale));
        ok &= save(dir, "Toolbar" + png, toolbarStrip(scale));
        ok &= save(dir, "icon" + png, windowIcon(32 * scale));
    }
    for (const int pixels : {16, 32, 48, 64, 128, 256})
        ok &= save(dir, QStringLiteral("icons/%1x%1/org.tavernly.Tavernly.png").arg(pixels), windowIcon(pixels));
    return ok ? 0 : 1;
}

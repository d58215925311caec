// Checks of the Qt image plug-in as Qt programs use it: through QImageReader, with no plug-in
// named (Qt finds it in QT_PLUGIN_PATH by a file's extension or its bytes).
//     tniff_qt_check same A B        A reads as B does (B a PNG), pixel for pixel
//     tniff_qt_check buffer A B      ... A's bytes handed over in a QBuffer, of no name or format
//     tniff_qt_check threads A B     ... A read in 8 threads at once, each as B
//     tniff_qt_check info A          "W H FORMAT DPMX DPMY" of A as read
//     tniff_qt_check size A          "W H FORMAT BYTES": the size and format QImageReader tells
//                                    before a read, and how many bytes of A it took for them
//     tniff_qt_check fails A         A reads as no image; prints what the plug-in said
//     tniff_qt_check survive A...    every file reads or is refused; prints how many read
// Images compare as non-premultiplied ARGB (without alpha: opaque; gray: gray repeated).
#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QImageReader>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// What the plug-in told Qt's message handler, the last line (readers in threads tell it too).
QString said;
std::mutex saying;

void Listen(QtMsgType, const QMessageLogContext& context, const QString& message) {
    if (context.category == nullptr || std::strcmp(context.category, "tarniff") != 0) return;
    std::lock_guard<std::mutex> hold(saying);
    said = message;
}

QImage Read(QImageReader& reader, const char* what) {
    QImage image;
    if (!reader.read(&image)) {
        std::fprintf(stderr, "%s: %s (%s)\n", what, qPrintable(reader.errorString()),
                     qPrintable(said));
        return QImage();
    }
    return image;
}

QImage ReadFile(const char* path) {
    QImageReader reader(QString::fromLocal8Bit(path));
    return Read(reader, path);
}

bool Same(const QImage& a, const QImage& b, const char* what) {
    if (a.isNull() || b.isNull()) return false;
    if (a.size() != b.size()) {
        std::fprintf(stderr, "%s: %d x %d, expected %d x %d\n", what, a.width(), a.height(),
                     b.width(), b.height());
        return false;
    }
    const QImage x = a.convertToFormat(QImage::Format_ARGB32);
    const QImage y = b.convertToFormat(QImage::Format_ARGB32);
    for (int row = 0; row < x.height(); ++row) {
        const QRgb* p = reinterpret_cast<const QRgb*>(x.constScanLine(row));
        const QRgb* q = reinterpret_cast<const QRgb*>(y.constScanLine(row));
        for (int column = 0; column < x.width(); ++column) {
            if (p[column] != q[column]) {
                std::fprintf(stderr, "%s: pixel %d,%d is %08x, expected %08x\n", what, column, row,
                             p[column], q[column]);
                return false;
            }
        }
    }
    return true;
}

// A file that counts the bytes taken from it.
class CountingFile : public QFile {
public:
    explicit CountingFile(const QString& path) : QFile(path) {}
    qint64 taken = 0;

protected:
    qint64 readData(char* data, qint64 most) override {
        const qint64 got = QFile::readData(data, most);
        if (got > 0) taken += got;
        return got;
    }
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    qInstallMessageHandler(Listen);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (argc == 4 && (mode == "same" || mode == "buffer" || mode == "threads")) {
        const QImage expected = ReadFile(argv[3]);
        if (mode == "same") return Same(ReadFile(argv[2]), expected, argv[2]) ? 0 : 1;
        QFile file(QString::fromLocal8Bit(argv[2]));
        if (!file.open(QIODevice::ReadOnly)) return 1;
        const QByteArray bytes = file.readAll();
        if (mode == "buffer") {
            QBuffer buffer;
            buffer.setData(bytes);
            QImageReader reader(&buffer);
            return Same(Read(reader, argv[2]), expected, argv[2]) ? 0 : 1;
        }
        std::atomic<int> right{0};
        std::vector<std::thread> readers;
        for (int i = 0; i < 8; ++i) {
            readers.emplace_back([&] {
                QBuffer buffer;
                buffer.setData(bytes);
                QImageReader reader(&buffer);
                if (Same(Read(reader, argv[2]), expected, argv[2])) ++right;
            });
        }
        for (std::thread& reader : readers) reader.join();
        return right == 8 ? 0 : 1;
    }
    if (argc == 3 && mode == "info") {
        const QImage image = ReadFile(argv[2]);
        if (image.isNull()) return 1;
        std::printf("%d %d %d %d %d\n", image.width(), image.height(), image.format(),
                    image.dotsPerMeterX(), image.dotsPerMeterY());
        return 0;
    }
    if (argc == 3 && mode == "size") {
        CountingFile file(QString::fromLocal8Bit(argv[2]));
        if (!file.open(QIODevice::ReadOnly)) return 1;
        QImageReader reader(&file);
        const QSize size = reader.size();
        const QImage::Format format = reader.imageFormat();
        if (!size.isValid()) return 1;
        std::printf("%d %d %d %lld\n", size.width(), size.height(), format,
                    static_cast<long long>(file.taken));
        return 0;
    }
    if (argc == 3 && mode == "fails") {
        QImageReader reader(QString::fromLocal8Bit(argv[2]));
        QImage image;
        if (reader.read(&image) || !image.isNull()) {
            std::fprintf(stderr, "%s: read, expected a refusal\n", argv[2]);
            return 1;
        }
        if (said.isEmpty()) {
            std::fprintf(stderr, "%s: refused without a word (%s)\n", argv[2],
                         qPrintable(reader.errorString()));
            return 1;
        }
        std::printf("%s\n", qPrintable(said));
        return 0;
    }
    if (argc >= 3 && mode == "survive") {
        int read = 0;
        for (int i = 2; i < argc; ++i) {
            QImageReader reader(QString::fromLocal8Bit(argv[i]));
            QImage image;
            if (reader.read(&image)) ++read;
        }
        std::printf("%d of %d read, the rest refused\n", read, argc - 2);
        return 0;
    }
    std::fprintf(stderr,
                 "usage: %s same|buffer|threads A B | info A | size A | fails A | survive A...\n",
                 argv[0]);
    return 2;
}

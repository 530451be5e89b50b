// make-manual: renders the operation manual (HTML or Markdown) to a PDF at build time.
//   make-manual <source.html|source.md> <output.pdf>
// Needs no display with QT_QPA_PLATFORM=offscreen, as the build runs it.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QSaveFile>
#include <QTextDocument>
#include <cstdio>

namespace {

int fail(const QString& message) {
    std::fprintf(stderr, "make-manual: %s\n", qPrintable(message));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        return fail("usage: make-manual <source.html|source.md> <output.pdf>");
    }
    const QString sourcePath = QFileInfo(args[1]).absoluteFilePath();
    const QString pdfPath = QFileInfo(args[2]).absoluteFilePath();
    // The copy QTextDocument::print paginates looks pictures up from the working folder, not
    // from the document's base URL: the manual's own folder, so its pictures are found.
    QDir::setCurrent(QFileInfo(sourcePath).absolutePath());

    QFile source(sourcePath);
    if (!source.open(QIODevice::ReadOnly)) {
        return fail(QString("cannot read %1: %2").arg(sourcePath, source.errorString()));
    }
    const QString text = QString::fromUtf8(source.readAll());
    if (text.trimmed().isEmpty()) {
        return fail(QString("%1 is empty").arg(sourcePath));
    }

    QTextDocument document;
    document.setBaseUrl(QUrl::fromLocalFile(QFileInfo(sourcePath).absolutePath() + "/"));
    if (QFileInfo(sourcePath).suffix().compare("md", Qt::CaseInsensitive) == 0) {
        document.setMarkdown(text);
    } else {
        document.setHtml(text);
    }

    // Written to a temporary file and renamed, so a failed run never leaves half a PDF behind.
    QSaveFile output(pdfPath);
    if (!output.open(QIODevice::WriteOnly)) {
        return fail(QString("cannot write %1: %2").arg(pdfPath, output.errorString()));
    }
    {
        QPdfWriter writer(&output);
        writer.setTitle(document.metaInformation(QTextDocument::DocumentTitle));
        writer.setCreator("Calorview make-manual");
        writer.setPageSize(QPageSize(QPageSize::A4));
        writer.setResolution(300);
        // QTextDocument::print paginates a copy, adds 2 cm margins and numbers the pages.
        document.print(&writer);
    }
    if (!output.commit()) {
        return fail(QString("cannot write %1: %2").arg(pdfPath, output.errorString()));
    }
    return 0;
}

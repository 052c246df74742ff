#include "ui/coretext.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <vector>

#include "app/ctransferstatus.h"
#include "app/progresstext.h"
#include "tools/capacitytest.h"

namespace {

constexpr const char* kContext = "CoreText";

// The core's texts that reach the wizard, word for word as the core writes them. A text
// with placeholders is a frame: %1, %2... stand for the parts the core puts in (a path,
// a number, the system's reason, another core text).
constexpr const char* kCoreTexts[] = {
    // Jobs that end before their work is done.
    QT_TRANSLATE_NOOP("CoreText", "Canceled by user"),
    QT_TRANSLATE_NOOP("CoreText", "Aborted by user"),
    QT_TRANSLATE_NOOP("CoreText", "Canceled by user: nothing was written"),
    QT_TRANSLATE_NOOP("CoreText", "Canceled by user: the card was overwritten in part; what it held is gone"),
    QT_TRANSLATE_NOOP("CoreText", "Canceled by user: the new file system was written whole; the card was not ejected"),
    QT_TRANSLATE_NOOP("CoreText", "Unknown error"),
    // The card and its reader.
    QT_TRANSLATE_NOOP("CoreText", "Drive is not selected"),
    QT_TRANSLATE_NOOP("CoreText", "Removable Disk"),
    QT_TRANSLATE_NOOP("CoreText", "Removable"),
    QT_TRANSLATE_NOOP("CoreText", "Fixed hard disk"),
    QT_TRANSLATE_NOOP("CoreText", "The card was taken out of the reader"),
    QT_TRANSLATE_NOOP("CoreText", "The card in the reader was changed during the run"),
    QT_TRANSLATE_NOOP("CoreText", "1 block of the card could not be read"),
    QT_TRANSLATE_NOOP("CoreText", "%1 blocks of the card could not be read"),
    QT_TRANSLATE_NOOP("CoreText", "The card reader or the card went away (%1)"),
    QT_TRANSLATE_NOOP("CoreText", "The card is not ready: %1"),
    QT_TRANSLATE_NOOP("CoreText", "The card is smaller than when the run started (block %1 is past its end)"),
    QT_TRANSLATE_NOOP("CoreText", "The device at %1: is not the card reader that was selected; please select the card again"),
    QT_TRANSLATE_NOOP("CoreText", "The card reports %1 bytes per block; only cards of 512-byte blocks can be used"),
    // Format and capacity test.
    QT_TRANSLATE_NOOP("CoreText", "Invalid drive parameters"),
    QT_TRANSLATE_NOOP("CoreText", "The card is too small for a FAT file system"),
    QT_TRANSLATE_NOOP("CoreText", "The volume is too small for FAT32"),
    QT_TRANSLATE_NOOP("CoreText", "Cards with %1-byte sectors cannot be formatted"),
    QT_TRANSLATE_NOOP("CoreText", "The card was formatted but could not be ejected: %1"),
    QT_TRANSLATE_NOOP("CoreText", "good: all %1 hold what was written"),
    QT_TRANSLATE_NOOP("CoreText", "fake: usable %1 of %2"),
    QT_TRANSLATE_NOOP("CoreText", "failing: 1 block does not hold what was written, the first is block %1"),
    QT_TRANSLATE_NOOP("CoreText", "failing: %1 blocks do not hold what was written, the first is block %2"),
    // Scan, save and backup.
    QT_TRANSLATE_NOOP("CoreText", "No save folder is chosen"),
    QT_TRANSLATE_NOOP("CoreText", "Copy file error"),
    QT_TRANSLATE_NOOP("CoreText", "Copy file error ==> %1"),
    QT_TRANSLATE_NOOP("CoreText", "Cannot write %1: %2"),
    QT_TRANSLATE_NOOP("CoreText", "Cannot create the run folder %1: %2"),
    QT_TRANSLATE_NOOP("CoreText", "Cannot create the run folder %1"),
    QT_TRANSLATE_NOOP("CoreText", "Cannot create the folder %1: %2"),
    QT_TRANSLATE_NOOP("CoreText", "Cannot create %1: %2"),
    QT_TRANSLATE_NOOP("CoreText", "Cannot rename %1 to %2: %3"),
    QT_TRANSLATE_NOOP("CoreText", "No free folder name for %1 in %2"),
    QT_TRANSLATE_NOOP("CoreText", "%1; the files not copied are still in %2"),
    QT_TRANSLATE_NOOP("CoreText", "%1; the files not moved are still in %2"),
    QT_TRANSLATE_NOOP("CoreText", "Cannot open the image %1: %2"),
    QT_TRANSLATE_NOOP("CoreText", "The image %1 is being written by another backup"),
    QT_TRANSLATE_NOOP("CoreText", "%1; the map %2 says what is copied: run the same backup again to go on"),
    QT_TRANSLATE_NOOP("CoreText", "%1; nothing was read from the card"),
    // Burning a CD.
    QT_TRANSLATE_NOOP("CoreText", "The recordable drive is missing"),
    QT_TRANSLATE_NOOP("CoreText", "The user's cache folder is unknown"),
    QT_TRANSLATE_NOOP("CoreText", "Aborted by user (xorriso was stopped; a disc it had begun to write may be unusable)"),
    QT_TRANSLATE_NOOP("CoreText", "The burn drive %1 cannot be found: %2"),
    QT_TRANSLATE_NOOP("CoreText", "The burn drive %1 is not a device"),
    QT_TRANSLATE_NOOP("CoreText", "The CD was not written: xorriso %1"),
    // The update check.
    QT_TRANSLATE_NOOP("CoreText", "No update was found to download"),
    QT_TRANSLATE_NOOP("CoreText", "No verified installer was downloaded"),
    QT_TRANSLATE_NOOP("CoreText", "The installer is not signed by Tolvex Media: its signature does not match"),
    QT_TRANSLATE_NOOP("CoreText", "The signature of the installer cannot be checked: the cryptography library does not start"),
    QT_TRANSLATE_NOOP("CoreText", "The downloaded installer does not match its SHA-256 checksum: %1"),
    QT_TRANSLATE_NOOP("CoreText", "Unable to start the installer: %1"),
    QT_TRANSLATE_NOOP("CoreText", "Ftp Error: Aborted by user"),
    QT_TRANSLATE_NOOP("CoreText", "Ftp Error: Unable to get ftp connection"),
    QT_TRANSLATE_NOOP("CoreText", "Ftp Error: Unable to get ftp connection (%1)"),
    QT_TRANSLATE_NOOP("CoreText", "Ftp Error: Ftp is not connected"),
    QT_TRANSLATE_NOOP("CoreText", "Ftp Error: Unable to find remote Ftp file: %1"),
    QT_TRANSLATE_NOOP("CoreText", "Ftp Error: Unable to open remote Ftp file: %1"),
    // The support mail (the reason a mail could not be sent).
    QT_TRANSLATE_NOOP("CoreText", "No mail program (sendmail) is installed (looked for on the PATH)"),
    QT_TRANSLATE_NOOP("CoreText", "No mail program (sendmail) is installed (looked for on the PATH and at %1)"),
    QT_TRANSLATE_NOOP("CoreText", "\"%1\" is not a mail address that can be written to"),
    QT_TRANSLATE_NOOP("CoreText", "%1 cannot be run"),
    QT_TRANSLATE_NOOP("CoreText", "%1 ended with exit status %2"),
    QT_TRANSLATE_NOOP("CoreText", "%1 ended abnormally (killed by a signal)"),
    QT_TRANSLATE_NOOP("CoreText", "%1 could not be started (%2)"),
};

// A frame of the table as a pattern that matches a whole text; its captures are the
// parts, in the order of their numbers.
struct Frame {
    const char* source;
    QRegularExpression pattern;
    std::vector<int> numbers;   // the placeholder number of each capture
};

const std::vector<Frame>& Frames()
{
    static const std::vector<Frame> frames = [] {
        std::vector<Frame> made;
        static const QRegularExpression placeholder(QStringLiteral("%([1-9])"));
        for (const char* source : kCoreTexts) {
            const QString text = QString::fromUtf8(source);
            QString regex = QStringLiteral("^");
            std::vector<int> numbers;
            qsizetype at = 0;
            for (auto it = placeholder.globalMatch(text); it.hasNext();) {
                const QRegularExpressionMatch match = it.next();
                regex += QRegularExpression::escape(text.mid(at, match.capturedStart() - at)) + QStringLiteral("(.*)");
                numbers.push_back(match.captured(1).toInt());
                at = match.capturedEnd();
            }
            if (numbers.empty())
                continue;
            regex += QRegularExpression::escape(text.mid(at)) + QStringLiteral("$");
            made.push_back({source, QRegularExpression(regex, QRegularExpression::DotMatchesEverythingOption), numbers});
        }
        return made;
    }();
    return frames;
}

// The frame's translation with its placeholders replaced in one pass, so that a part that
// holds "%2" itself is not taken for a placeholder.
QString Filled(const QString& frame, const std::vector<QString>& parts)
{
    QString text;
    for (qsizetype i = 0; i < frame.size(); ++i) {
        if (frame[i] == u'%' && i + 1 < frame.size() && frame[i + 1].unicode() >= u'1' && frame[i + 1].unicode() <= u'9') {
            const size_t number = size_t(frame[i + 1].unicode() - '0');
            if (number <= parts.size()) {
                text += parts[number - 1];
                ++i;
                continue;
            }
        }
        text += frame[i];
    }
    return text;
}

QString Translated(const QString& text, int depth)
{
    if (text.isEmpty())
        return text;
    const QByteArray key = text.toUtf8();
    const QString exact = QCoreApplication::translate(kContext, key.constData());
    if (exact != text)
        return exact;
    if (depth > 2)
        return text;
    for (const Frame& frame : Frames()) {
        const QRegularExpressionMatch match = frame.pattern.match(text);
        if (!match.hasMatch())
            continue;
        std::vector<QString> parts(frame.numbers.size());
        for (size_t i = 0; i < frame.numbers.size(); ++i) {
            const size_t number = size_t(frame.numbers[i]);
            if (number >= 1 && number <= parts.size())
                parts[number - 1] = Translated(match.captured(int(i) + 1), depth + 1);
        }
        return Filled(QCoreApplication::translate(kContext, frame.source), parts);
    }
    return text;
}

}  // namespace

QString CoreText(const QString& text) { return Translated(text, 0); }

QString CoreText(const std::string& text) { return Translated(QString::fromStdString(text), 0); }

QString RemainingQText(int64_t seconds)
{
    // The cases and the words of the core's RemainingText, one text each, so that a
    // language words every case in its own way.
    if (seconds <= 60)
        return QCoreApplication::translate("CoreText", "%1 Seconds Remaining").arg(seconds);
    const int64_t hours = seconds / 3600;
    const int64_t minutes = (seconds % 3600) / 60;
    const int64_t rest = seconds % 60;
    const char* text = nullptr;
    if (hours < 1)
        text = minutes == 1 ? QT_TRANSLATE_NOOP("CoreText", "%1 Minute %2 Seconds Remaining")
                            : QT_TRANSLATE_NOOP("CoreText", "%1 Minutes %2 Seconds Remaining");
    else if (hours == 1)
        text = minutes == 1 ? QT_TRANSLATE_NOOP("CoreText", "%1 Hour %2 Minute %3 Seconds Remaining")
                            : QT_TRANSLATE_NOOP("CoreText", "%1 Hour %2 Minutes %3 Seconds Remaining");
    else
        text = minutes == 1 ? QT_TRANSLATE_NOOP("CoreText", "%1 Hours %2 Minute %3 Seconds Remaining")
                            : QT_TRANSLATE_NOOP("CoreText", "%1 Hours %2 Minutes %3 Seconds Remaining");
    const QString line = QCoreApplication::translate(kContext, text);
    if (hours >= 1)
        return line.arg(hours).arg(minutes).arg(rest);
    return line.arg(minutes).arg(rest);
}

QString ProgressQText(const CTransferStatus& status)
{
    const ProgressFigures figures = ProgressFiguresOf(status);
    // The percentage two places wide, as the core's line has it.
    return QCoreApplication::translate("CoreText", "%1%    (%2 / %3) - %4")
        .arg(QStringLiteral("%1").arg(figures.percent, 2),
             QString::fromStdString(SizeText(status.BytesDone)),
             QString::fromStdString(SizeText(status.Capacity)),
             RemainingQText(figures.remainingSeconds));
}

QString CapacityVerdictQText(const CCapacityResult& r)
{
    const QString total = QString::fromStdString(CapacitySizeText(r.blocks * 512));
    if (r.Passed())
        return QCoreApplication::translate("CoreText", "good: all %1 hold what was written").arg(total);
    if (r.Fake())
        return QCoreApplication::translate("CoreText", "fake: usable %1 of %2")
            .arg(QString::fromStdString(CapacitySizeText(r.UsableBytes())), total);
    if (r.badBlocks == 1)
        return QCoreApplication::translate("CoreText", "failing: 1 block does not hold what was written, the first is block %1")
            .arg(r.firstBad);
    return QCoreApplication::translate("CoreText", "failing: %1 blocks do not hold what was written, the first is block %2")
        .arg(r.badBlocks)
        .arg(r.firstBad);
}

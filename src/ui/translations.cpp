#include "ui/translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include "app/csettings.h"

namespace {

// A translator that lives as long as the application, installed only when its file loads.
bool InstallTranslator(const QLocale& locale, const QString& name, const QString& folder)
{
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(locale, name, QStringLiteral("_"), folder)) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

}  // namespace

QString TranslationFolder()
{
    return QString::fromStdString(CSettings::InstalledHomeFolder()) + QStringLiteral("/translations");
}

bool InstallTranslations(const QLocale& locale, const QString& folder)
{
    const bool own = InstallTranslator(locale, QStringLiteral("pixsalvo3"), folder);
    // Qt's own words for the standard buttons (Yes, No, Cancel, Save) go with the program's:
    // a German program with English dialog buttons would read as unfinished.
    if (own)
        InstallTranslator(locale, QStringLiteral("qtbase"), QLibraryInfo::path(QLibraryInfo::TranslationsPath));
    return own;
}

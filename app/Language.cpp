#include "app/Language.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QRegularExpression>
#include <QTranslator>

// Outside any namespace, as the resource system requires.
static void InitTranslations()
{
    Q_INIT_RESOURCE(translations);
}

TUiLanguage UiLanguageOf(const QStringList& AUiLanguages)
{
    for (const QString& Name : AUiLanguages) {
        if (Name == QLatin1String("C") || Name == QLatin1String("POSIX"))
            return TUiLanguage::ulRussian;
        const QString Language = Name.section(QLatin1Char('-'), 0, 0).section(QLatin1Char('_'), 0, 0);
        if (Language.compare(QLatin1String("ru"), Qt::CaseInsensitive) == 0)
            return TUiLanguage::ulRussian;
        if (Language.compare(QLatin1String("en"), Qt::CaseInsensitive) == 0)
            return TUiLanguage::ulEnglish;
    }
    return TUiLanguage::ulEnglish;
}

TUiLanguage InstallTranslations(QCoreApplication& AApplication)
{
    InitTranslations();
    const TUiLanguage Language = UiLanguageOf(QLocale::system().uiLanguages());
    // Owned by the application; a translation that is not there leaves the source texts.
    auto* Translator = new QTranslator(&AApplication);
    const bool Loaded = Language == TUiLanguage::ulEnglish
        ? Translator->load(QStringLiteral(":/i18n/vardex_en.qm"))
        : Translator->load(QLocale(QLocale::Russian), QStringLiteral("qtbase"), QStringLiteral("_"),
            QLibraryInfo::path(QLibraryInfo::TranslationsPath));
    if (Loaded)
        AApplication.installTranslator(Translator);
    else
        delete Translator;
    return Language;
}

QString FullYearDateFormat(const QLocale& ALocale)
{
    // Asked at every row's repaint: the last answer is kept (on the window's thread).
    static QString Given;
    static QString Full;
    const QString Format = ALocale.dateFormat(QLocale::ShortFormat);
    if (Format != Given || Full.isNull()) {
        static const QRegularExpression TwoDigits(QStringLiteral("(?<!y)yy(?!y)"));
        Given = Format;
        Full = QString(Format).replace(TwoDigits, QStringLiteral("yyyy"));
    }
    return Full;
}

#include "app/qtswedish.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <cstring>

namespace {
struct Text {
    const char* context;
    const char* english;
    const char* swedish;
};

// Debian's qt_sv.qm has these under Qt 4's contexts only (QDialogButtonBox,
// QTextControl), which Qt 6 no longer asks.
constexpr Text kTexts[] = {
    {"QPlatformTheme", "OK", "OK"},
    {"QPlatformTheme", "Save", "Spara"},
    {"QPlatformTheme", "Save All", "Spara alla"},
    {"QPlatformTheme", "Open", "Öppna"},
    {"QPlatformTheme", "&Yes", "&Ja"},
    {"QPlatformTheme", "Yes to &All", "Ja till &alla"},
    {"QPlatformTheme", "&No", "&Nej"},
    {"QPlatformTheme", "N&o to All", "N&ej till alla"},
    {"QPlatformTheme", "Abort", "Avbryt"},
    {"QPlatformTheme", "Retry", "Försök igen"},
    {"QPlatformTheme", "Ignore", "Ignorera"},
    {"QPlatformTheme", "Close", "Stäng"},
    {"QPlatformTheme", "Cancel", "Avbryt"},
    {"QPlatformTheme", "Discard", "Förkasta"},
    {"QPlatformTheme", "Help", "Hjälp"},
    {"QPlatformTheme", "Apply", "Verkställ"},
    {"QPlatformTheme", "Reset", "Återställ"},
    {"QPlatformTheme", "Restore Defaults", "Återställ standardvärden"},
    {"QWidgetTextControl", "&Undo", "&Ångra"},
    {"QWidgetTextControl", "&Redo", "&Gör om"},
    {"QWidgetTextControl", "Cu&t", "Klipp &ut"},
    {"QWidgetTextControl", "&Copy", "&Kopiera"},
    {"QWidgetTextControl", "Copy &Link Location", "Kopiera &länkadress"},
    {"QWidgetTextControl", "&Paste", "Klistra &in"},
    {"QWidgetTextControl", "Delete", "Ta bort"},
    {"QWidgetTextControl", "Select All", "Markera allt"},
};

class Qt6Swedish : public QTranslator {
public:
    using QTranslator::QTranslator;
    bool isEmpty() const override { return false; }
    QString translate(const char* context, const char* source, const char* /*disambiguation*/,
                      int /*n*/) const override {
        if (!context || !source) return {};
        for (const Text& t : kTexts)
            if (std::strcmp(t.context, context) == 0 && std::strcmp(t.english, source) == 0)
                return QString::fromUtf8(t.swedish);
        return {};
    }
};
}  // namespace

bool InstallQtSwedish(QCoreApplication& app) {
    auto* system = new QTranslator(&app);
    const bool loaded = system->load(QLocale(QLocale::Swedish, QLocale::Sweden), QStringLiteral("qt"),
                                     QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath));
    if (loaded) QCoreApplication::installTranslator(system);
    // Installed last, so asked first.
    QCoreApplication::installTranslator(new Qt6Swedish(&app));
    return loaded;
}

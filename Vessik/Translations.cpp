#include "Translations.h"

bool loadBundleTranslation(QTranslator& translator, const Bundle& bundle, const QLocale& locale) {
    return translator.load(locale, QStringLiteral("vessik"), QStringLiteral("_"),
                           bundle.resourcesPath() + QStringLiteral("/translations"));
}

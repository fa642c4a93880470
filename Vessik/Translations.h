#pragma once

#include <QtCore/QLocale>
#include <QtCore/QTranslator>

#include "common/Bundle.h"

// Loads into `translator` the translation of the bundle (Resources/translations/
// vessik_LANG.qm) that best fits `locale`, trying its UI languages in order.
// Returns false when the bundle has none for that locale; the program then
// shows its English texts.
bool loadBundleTranslation(QTranslator& translator, const Bundle& bundle, const QLocale& locale);

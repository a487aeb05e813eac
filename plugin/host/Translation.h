// Every user-visible text goes through zkTranslation: a fresh "core.Translator"
// is made, asked and destroyed for each call; a missing translation shows the
// key itself and prints a line on standard error. Any thread.
#ifndef PLUGIN_HOST_TRANSLATION_H_
#define PLUGIN_HOST_TRANSLATION_H_

#include <QString>

QString zkTranslation(const QString &key);
inline QString zkTranslation(const char *key) { return zkTranslation(QString::fromLatin1(key)); }

#endif  // PLUGIN_HOST_TRANSLATION_H_

#include "plugin/host/Translation.h"

#include "plugin/host/Component.h"
#include "plugin/host/Guids.h"

#include <cstdio>

QString zkTranslation(const QString &key)
{
    ComponentRef<ITranslator> translator(guids::kTranslator);
    QString result = key;
    if (translator) {
        if (!key.isEmpty() && !translator->translate(key, result))
            std::fprintf(stderr, "zkTranslation: translation not found for key '%s'\n", key.toLocal8Bit().constData());
    } else {
        std::fprintf(stderr, "zkTranslation: translator not found\n");
    }
    translator.reset();
    return result;
}

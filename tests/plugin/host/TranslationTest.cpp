// zkTranslation against the stand-in client's translator, a counting
// translator and no translator at all.
#include "client/runtime/Components.h"
#include "client/runtime/Runtime.h"
#include "plugin/host/Guids.h"
#include "plugin/host/Translation.h"

#include <gtest/gtest.h>

namespace {

int g_made = 0;
int g_asked = 0;

class CountingTranslator : public ITranslator {
public:
    CountingTranslator() { ++g_made; }
    bool translate(const QString &key, QString &result) override
    {
        ++g_asked;
        result = QStringLiteral("<") + key + QStringLiteral(">");
        return true;
    }
};

TEST(TranslationTest, EveryLookupAsksAFreshTranslatorAndAMissingTextShowsTheKey)
{
    velt::registerTranslator();
    const struct {
        const char *key;
        const char *text;
        const char *printed;  // on standard error
    } cases[] = {
        {"MSGS_EXPORT_ARCHIVE", "Export archive", ""},
        {"MSGE_NOT_A_KEY_42", "MSGE_NOT_A_KEY_42", "zkTranslation: translation not found for key 'MSGE_NOT_A_KEY_42'\n"},
    };
    for (const auto &c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(zkTranslation(c.key), QLatin1String(c.text));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.printed);
    }

    velt::registerFactory(guids::kTranslator, [] { return static_cast<void *>(static_cast<ITranslator *>(new CountingTranslator)); });
    EXPECT_EQ(zkTranslation(""), QString());  // an empty key is not asked
    EXPECT_EQ(zkTranslation(QStringLiteral("MSGI_COMPLETE")), QStringLiteral("<MSGI_COMPLETE>"));
    EXPECT_EQ(zkTranslation("MSGI_COMPLETE"), QStringLiteral("<MSGI_COMPLETE>"));
    EXPECT_EQ(g_made, 3);
    EXPECT_EQ(g_asked, 2);

    velt::unregisterFactory(guids::kTranslator);
    testing::internal::CaptureStderr();
    EXPECT_EQ(zkTranslation("MSGS_EXPORT_ARCHIVE"), QStringLiteral("MSGS_EXPORT_ARCHIVE"));
    EXPECT_EQ(zkTranslation(""), QString());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "zkTranslation: translator not found\nzkTranslation: translator not found\n");
    velt::registerTranslator();
}

}  // namespace

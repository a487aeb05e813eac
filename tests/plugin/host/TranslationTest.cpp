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
        result = "<" + key + ">";
        ++g_asked;
        return true;
    }
};

TEST(TranslationTest, EveryLookupAsksAFreshTranslatorAndAMissingTextShowsTheKey)
{
    const auto counting = [] { return static_cast<void *>(static_cast<ITranslator *>(new CountingTranslator)); };
    const struct {
        std::function<void()> translator;
        QString key, text;
        std::string printed;  // on standard error
    } cases[] = {
        {velt::registerTranslator, "MSGS_EXPORT_ARCHIVE", "Export archive", ""},
        {velt::registerTranslator, "MSGE_NOT_A_KEY_42", "MSGE_NOT_A_KEY_42",
         "zkTranslation: translation not found for key 'MSGE_NOT_A_KEY_42'\n"},
        {[&] { velt::registerFactory(guids::kTranslator, counting); }, "MSGI_COMPLETE", "<MSGI_COMPLETE>", ""},
        {[] {}, "", "", ""},  // an empty key is not asked
        {[] { velt::unregisterFactory(guids::kTranslator); }, "MSGS_EXPORT_ARCHIVE", "MSGS_EXPORT_ARCHIVE",
         "zkTranslation: translator not found\n"},
        {[] {}, "", "", "zkTranslation: translator not found\n"},
    };
    for (const auto &c : cases) {
        c.translator();
        testing::internal::CaptureStderr();
        EXPECT_EQ(zkTranslation(c.key), c.text) << c.key.toStdString();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.printed) << c.key.toStdString();
    }
    EXPECT_EQ(std::make_pair(g_made, g_asked), std::make_pair(2, 1));
    velt::registerTranslator();
}

}  // namespace

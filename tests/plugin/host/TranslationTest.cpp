// zkTranslation against the stand-in client's translator, a counting
// translator and no translator at all.
#include "client/runtime/Components.h"
#include "client/runtime/Runtime.h"
#include "plugin/host/Guids.h"
#include "plugin/host/Translation.h"

#include <gtest/gtest.h>

namespace {

struct TranslatorCounts {
    int made = 0;
    int destroyed = 0;
    int asked = 0;
};
TranslatorCounts g_counts;

class CountingTranslator : public ITranslator {
public:
    CountingTranslator() { ++g_counts.made; }
    ~CountingTranslator() override { ++g_counts.destroyed; }
    bool translate(const QString &key, QString &result) override
    {
        ++g_counts.asked;
        result = QStringLiteral("<") + key + QStringLiteral(">");
        return true;
    }
};

class TranslationTest : public testing::Test {
protected:
    void SetUp() override { velt::registerTranslator(); }
    void TearDown() override { velt::registerTranslator(); }
};

TEST_F(TranslationTest, KnownKeyGivesTheTextSilently)
{
    testing::internal::CaptureStderr();
    const QString text = zkTranslation("MSGS_EXPORT_ARCHIVE");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(text, QStringLiteral("Export archive"));
}

TEST_F(TranslationTest, UnknownKeyGivesTheKeyAndOneLine)
{
    testing::internal::CaptureStderr();
    const QString text = zkTranslation("MSGE_NOT_A_KEY_42");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "zkTranslation: translation not found for key 'MSGE_NOT_A_KEY_42'\n");
    EXPECT_EQ(text, QStringLiteral("MSGE_NOT_A_KEY_42"));
}

TEST_F(TranslationTest, EachCallMakesItsOwnTranslatorAndAnEmptyKeyIsNotAsked)
{
    g_counts = TranslatorCounts();
    velt::registerFactory(guids::kTranslator, [] { return static_cast<void *>(static_cast<ITranslator *>(new CountingTranslator)); });

    testing::internal::CaptureStderr();
    EXPECT_EQ(zkTranslation(""), QString());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(g_counts.made, 1);
    EXPECT_EQ(g_counts.destroyed, 1);
    EXPECT_EQ(g_counts.asked, 0);

    EXPECT_EQ(zkTranslation("MSGI_COMPLETE"), QStringLiteral("<MSGI_COMPLETE>"));
    EXPECT_EQ(zkTranslation(QStringLiteral("MSGI_COMPLETE")), QStringLiteral("<MSGI_COMPLETE>"));
    EXPECT_EQ(g_counts.made, 3);
    EXPECT_EQ(g_counts.destroyed, 3);
    EXPECT_EQ(g_counts.asked, 2);
}

TEST_F(TranslationTest, WithoutTranslatorEveryKeyComesBackWithOneLine)
{
    velt::unregisterFactory(guids::kTranslator);
    testing::internal::CaptureStderr();
    EXPECT_EQ(zkTranslation("MSGS_EXPORT_ARCHIVE"), QStringLiteral("MSGS_EXPORT_ARCHIVE"));
    EXPECT_EQ(zkTranslation(""), QString());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "zkTranslation: translator not found\nzkTranslation: translator not found\n");
}

}  // namespace

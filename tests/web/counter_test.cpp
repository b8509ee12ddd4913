// The reply box of the web console counts characters and messages in JavaScript; the window counts
// with the composer. Both are checked against one table (counter_cases.json, which the browser
// test runs through the console's counter): this side, the composer.
#include "xsms/composer.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace kestrel {
namespace {

TEST(ConsoleCounterCases, TheComposerCountsAsTheTableSays)
{
    QFile file(KESTREL_COUNTER_CASES);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << KESTREL_COUNTER_CASES;
    const QJsonArray cases = QJsonDocument::fromJson(file.readAll()).array();
    ASSERT_GT(cases.size(), 10);
    TMessageComposer composer;
    for (const QJsonValue &v : cases) {
        const QJsonObject c = v.toObject();
        SCOPED_TRACE(c["name"].toString().toStdString());
        TMessageContent content;
        content.Text = c["text"].toString();
        if (c.contains("error")) {
            try {
                composer.MessageCount(content);
                ADD_FAILURE() << "counted a message that is too long";
            } catch (const std::exception &e) {
                EXPECT_EQ(e.what(), c["error"].toString().toStdString());
            }
        } else {
            EXPECT_EQ(composer.MessageCount(content), c["messages"].toInt());
        }
    }
}

} // namespace
} // namespace kestrel

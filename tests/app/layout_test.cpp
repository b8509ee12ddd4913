#include "app/gsmkestrelform.h"
#include "app/pictureeditor.h"
#include "terminal/terminal.h"
#include "ui_gsmkestrelform.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

// Every tab fits the window at its default size: nothing is squeezed below its minimum, so
// nothing is clipped or overlaps. With KESTREL_SCREENSHOT_DIR set, each tab is also saved as a
// picture to look at.
TEST(Layout, EveryTabFitsTheDefaultWindowSize)
{
    QTemporaryDir dir;
    TGSMDataModule dm(dir.filePath("gsm.ini").toStdString(), dir.path().toStdString() + "/");
    TGSMKestrelForm form(dm, {"gsm-kestrel"});
    form.show();
    Ui::GSMKestrelForm *ui = form.UI();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));

    // Content as a user would have it: a picture, a melody, lines in both logs.
    for (auto [x, y] : {std::pair{1, 1}, {2, 2}, {3, 3}, {10, 5}, {11, 5}, {12, 5}})
        TogglePicturePixel(form.Picture(), x, y);
    for (int n : {1, 3, 5, 6, 8})
        form.Melody().Plus(TMelodyRow{1, n, 2, 0, 8, 0, 7}, false, false);
    form.MelodyToGrid();
    ui->MelodyName->setText("Scale");
    ui->SMSLog->AddLine(">07.12.26 22:40:00, OA: +491710000001, PID: 00, UD: First Test-Message");
    ui->SMSLog->AddLine("*ref:01, #1/2, , addr:158A");
    ui->ModemLog->AddText("AT+CSQ\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
    ui->SMSLog->Flush();
    ui->ModemLog->Flush();

    const char *shotDir = getenv("KESTREL_SCREENSHOT_DIR");
    const std::pair<int, int> views[] = {{0, -1}, {1, stPicture}, {1, stMelody}, {2, -1}, {3, -1}};
    for (auto [tab, type] : views) {
        ui->PageControl1->setCurrentIndex(tab);
        if (type >= 0) {
            ui->SMSKind->setCurrentIndex(skSmart);
            ui->SMSKind2->setCurrentIndex(type);
        }
        QApplication::processEvents();
        QWidget *page = ui->PageControl1->currentWidget();
        const QSize need = page->minimumSizeHint();
        EXPECT_LE(need.width(), page->width()) << tab << "/" << type;
        EXPECT_LE(need.height(), page->height()) << tab << "/" << type;
        if (shotDir) {
            const QString name = QString("%1/tab%2%3.png")
                                     .arg(shotDir)
                                     .arg(tab)
                                     .arg(type >= 0 ? QString("-%1").arg(type) : "");
            EXPECT_TRUE(form.grab().save(name));
        }
    }
}

} // namespace

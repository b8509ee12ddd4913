#include "app/gsmkestrelform.h"
#include "app/melodyeditor.h"
#include "app/operators.h"
#include "app/pictureeditor.h"
#include "ui_gsmkestrelform.h"
#include "xsms/ringtone.h"

#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

TMelodyRow Note(int scale, int note, int dur, int dur2 = 0, int tempo = 8, int style = 0, int vol = 7)
{
    return {scale, note, dur, dur2, tempo, style, vol};
}

void WriteFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(data);
}

QByteArray ReadFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

std::vector<int> Notes(const TMelodyTable &t)
{
    std::vector<int> out;
    for (int r = 1; r <= t.DataRowCount(); ++r)
        out.push_back(t.Row(r).Note);
    return out;
}

TEST(MelodyTable, PlusOverwritesInsideTheTableAndInsertsWithIns)
{
    TMelodyTable t;
    EXPECT_EQ(t.DataRowCount(), 0);
    for (int n : {1, 3, 5})
        t.Plus(Note(1, n, 2), false, false); // on the pending row: always appended
    EXPECT_EQ(Notes(t), (std::vector<int>{1, 3, 5}));
    EXPECT_EQ(t.CurrentRow(), 4); // the pending row

    t.SetCurrentRow(2);
    t.Plus(Note(1, 8, 2), false, false); // overwrites row 2
    EXPECT_EQ(Notes(t), (std::vector<int>{1, 8, 5}));
    EXPECT_EQ(t.CurrentRow(), 3);

    t.SetCurrentRow(2);
    t.Plus(Note(1, 10, 2), true, false); // inserts before row 2
    EXPECT_EQ(Notes(t), (std::vector<int>{1, 10, 8, 5}));
    EXPECT_EQ(t.CurrentRow(), 3);
    EXPECT_EQ(t.Row(t.RowCount() - 1), TMelodyRow{}); // the pending row stays fresh
}

TEST(MelodyTable, MinusRemovesTheCurrentDataRowOnly)
{
    TMelodyTable t;
    t.Minus(); // nothing to remove
    EXPECT_EQ(t.RowCount(), 2);
    for (int n : {1, 2, 3})
        t.Plus(Note(0, n, 1), false, false);
    t.Minus(); // current row is the pending one: nothing happens
    EXPECT_EQ(Notes(t), (std::vector<int>{1, 2, 3}));
    t.SetCurrentRow(3);
    t.Minus();
    EXPECT_EQ(Notes(t), (std::vector<int>{1, 2}));
    EXPECT_EQ(t.CurrentRow(), 2); // kept within the data rows
    t.SetCurrentRow(1);
    t.Minus();
    t.Minus();
    EXPECT_EQ(t.DataRowCount(), 0);
    EXPECT_EQ(t.CurrentRow(), 1);
}

TEST(MelodyTable, EmsMelodiesKeepOneTempoAndStyle)
{
    TMelodyTable t;
    t.Plus(Note(1, 1, 2, 0, 5, 0), false, true);
    t.Plus(Note(1, 3, 2, 0, 12, 2), false, true);
    for (int r = 1; r <= 2; ++r) {
        EXPECT_EQ(t.Row(r).Tempo, 12);
        EXPECT_EQ(t.Row(r).Style, 2);
    }
    t.Plus(Note(1, 5, 2, 0, 3, 1), false, false); // a smart-message melody keeps its changes
    EXPECT_EQ(t.Row(1).Tempo, 12);
    EXPECT_EQ(t.Row(3).Tempo, 3);
}

TEST(MelodyTable, AssignClampsToTheItemsAndGivesTheNotesBack)
{
    TMelody m;
    m.Name = "x";
    m.Rows = {Note(3, 12, 5, 3, 31, 2, 15), Note(9, -1, 6, 4, 32, 3, 16)};
    TMelodyTable t;
    t.Assign(m);
    EXPECT_EQ(t.DataRowCount(), 2);
    EXPECT_EQ(t.Row(1), m.Rows[0]);
    EXPECT_EQ(t.Row(2), Note(0, 0, 0, 0, 0, 0, 0)); // every value outside its column's items
    EXPECT_EQ(t.CurrentRow(), 1);
    const TMelody back = t.ToMelody("y");
    EXPECT_EQ(back.Name, "y");
    ASSERT_EQ(back.Rows.size(), 2u);
    EXPECT_EQ(back.Rows[0], m.Rows[0]);
}

TEST(MelodyKeyboard, HoldTimesGiveDurations)
{
    const std::pair<int, int> cases[] = {{0, 5},   {49, 5},  {50, 4},  {99, 4},  {100, 3}, {199, 3},
                                         {200, 2}, {299, 2}, {300, 1}, {499, 1}, {500, 0}, {600, 0}};
    for (auto [ms, index] : cases)
        EXPECT_EQ(DurationIndexForHold(ms), index) << ms;
}

TEST(MelodyKeyboard, KeysAreFoundBlackFirst)
{
    const int w = 280, h = 40; // key width 10
    int s = -1, n = -1;
    ASSERT_TRUE(TMelodyKeyboard::KeyAt(w, h, {2, 30}, s, n));
    EXPECT_EQ(std::make_pair(s, n), std::make_pair(0, 1)); // C of the first octave
    ASSERT_TRUE(TMelodyKeyboard::KeyAt(w, h, {8, 5}, s, n));
    EXPECT_EQ(std::make_pair(s, n), std::make_pair(0, 2)); // Cis lies over C's right half
    ASSERT_TRUE(TMelodyKeyboard::KeyAt(w, h, {75, 30}, s, n));
    EXPECT_EQ(std::make_pair(s, n), std::make_pair(1, 1)); // C of the second octave
    EXPECT_EQ(TMelodyKeyboard::KeyRect(w, h, 3, 12), QRect(QPoint(270, 0), QPoint(279, 39)));
    EXPECT_FALSE(TMelodyKeyboard::KeyAt(w, h, {285, 5}, s, n));
}

TEST(Operators, ProvidersBecomeFiveDigitEntriesAfterTheClearEntry)
{
    const QByteArray xml = R"(<serviceproviders format="2.0">
      <country code="de"><provider><name>Tele "One"</name><gsm><network-id mcc="262" mnc="07"/>
        <apn value="x"><name>apn name</name></apn></gsm></provider>
      <provider><name>Second</name><gsm><network-id mcc="262" mnc="07"/><network-id mcc="722" mnc="341"/>
        <network-id mcc="262" mnc="3"/></gsm></provider></country></serviceproviders>)";
    EXPECT_EQ(ParseServiceProviders(xml), (QStringList{"26203,\"Second\"", "26207,\"Tele One\""}));
    EXPECT_TRUE(ParseServiceProviders("<broken><provider>").isEmpty());

    const QStringList list = OperatorList("/nonexistent/providers.xml");
    EXPECT_EQ(list, (QStringList{"00000,<clear logo>", "20205,\"PANAFON\"", "23001,\"PAEGAS\"",
                                 "26201,\"D1\"", "74601,\"ICMS\""}));
    const QStringList installed = OperatorList();
    EXPECT_EQ(installed.front(), "00000,<clear logo>");
    EXPECT_TRUE(installed.contains("26201,\"D1\""));
    if (QFile::exists(kServiceProvidersFile)) {
        EXPECT_GT(installed.size(), 100);
    }
}

// The editors inside the window, driven as a user would.
class EditorWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        dm = std::make_unique<TGSMDataModule>(dir.filePath("gsm.ini").toStdString(),
                                              dir.path().toStdString() + "/");
        form = std::make_unique<TGSMKestrelForm>(*dm, QStringList{"gsm-kestrel"});
        form->ShowError = [this](const QString &m) { errors << m; };
        form->show();
        ui = form->UI();
    }
    void selectKind(int kind, int type)
    {
        ui->PageControl1->setCurrentIndex(1); // the SMS tab, so that its controls take clicks
        ui->SMSKind->setCurrentIndex(kind);
        ui->SMSKind2->setCurrentIndex(type);
    }

    QTemporaryDir dir;
    std::unique_ptr<TGSMDataModule> dm;
    std::unique_ptr<TGSMKestrelForm> form;
    Ui::GSMKestrelForm *ui = nullptr;
    QStringList errors;
};

TEST_F(EditorWindowTest, ClickTogglesOnePixelAndResizeFollowsTheEdits)
{
    selectKind(skSmart, stPicture);
    ui->PageControl1->setCurrentIndex(1);
    QTest::mouseClick(ui->Picture, Qt::LeftButton, {}, QPoint(12, 7));
    EXPECT_TRUE(PicturePixelSet(form->Picture(), 2, 1));
    EXPECT_FALSE(PicturePixelSet(form->Picture(), 1, 1));
    QTest::mouseClick(ui->Picture, Qt::LeftButton, {}, QPoint(12, 7));
    EXPECT_FALSE(PicturePixelSet(form->Picture(), 2, 1));

    ui->PictureWidth->setText("40");
    ui->PictureHeight->setText("20");
    emit ui->PictureWidth->editingFinished();
    EXPECT_EQ(ui->Picture->size(), QSize(5 * 40, 5 * 20));
    EXPECT_GE(form->Picture().width(), 72); // never shrunk
    EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
}

TEST_F(EditorWindowTest, FramesPerKind)
{
    selectKind(skSmart, stPicture);
    EXPECT_EQ(form->PictureFrameCount(), 1);
    EXPECT_EQ(ui->PictureNumAnimations->text(), "0");
    selectKind(skEMS, etAnimationSmall);
    EXPECT_EQ(form->PictureFrameCount(), 4);
    EXPECT_EQ(ui->Picture->size(), QSize(5 * 4 * 8, 5 * 8));
    EXPECT_EQ(TPictureBox::FrameColour(1), QColor(0x00, 0xFF, 0x80));
    EXPECT_EQ(TPictureBox::FrameColour(2), QColor(0x80, 0xFF, 0xFF));
    // Frames alternate their background on screen.
    const QImage shot = ui->Picture->grab().toImage();
    EXPECT_EQ(shot.pixelColor(2 + 0 * 40, 2), TPictureBox::FrameColour(1));
    EXPECT_EQ(shot.pixelColor(2 + 1 * 40, 2), TPictureBox::FrameColour(2));
    EXPECT_EQ(shot.pixelColor(2 + 3 * 40, 2), TPictureBox::FrameColour(2));
}

TEST_F(EditorWindowTest, PictureSaveAndLoadThroughImageFiles)
{
    selectKind(skSmart, stPicture);
    TogglePicturePixel(form->Picture(), 5, 6);
    const QString file = dir.filePath("p.bmp");
    form->SavePicture(file);
    form->Picture().fill(Qt::white);
    form->LoadPicture(file);
    EXPECT_TRUE(PicturePixelSet(form->Picture(), 5, 6));
    EXPECT_FALSE(PicturePixelSet(form->Picture(), 6, 6));
    EXPECT_THROW(form->LoadPicture(dir.filePath("missing.bmp")), std::exception);
}

TEST_F(EditorWindowTest, KeyboardClickAddsAShortNote)
{
    selectKind(skSmart, stMelody);
    ui->PageControl1->setCurrentIndex(1);
    QWidget *kb = ui->MelodyKeyboard;
    const QRect key = TMelodyKeyboard::KeyRect(kb->width(), kb->height(), 1, 5); // E of the second octave
    QTest::mouseClick(kb, Qt::LeftButton, {}, key.center() + QPoint(0, key.height() / 3));
    ASSERT_EQ(form->Melody().DataRowCount(), 1);
    EXPECT_EQ(form->Melody().Row(1).Scale, 1);
    EXPECT_EQ(form->Melody().Row(1).Note, 5);
    EXPECT_EQ(form->Melody().Row(1).Duration, 5); // 1/32
    EXPECT_EQ(ui->MelodyGrid->item(0, 1)->text(), "E");
    EXPECT_EQ(ui->MelodyGrid->item(0, 2)->text(), "1/32");

    QTest::mousePress(kb, Qt::LeftButton, {}, key.center());
    QTest::qWait(600);
    QTest::mouseRelease(kb, Qt::LeftButton, {}, key.center());
    ASSERT_EQ(form->Melody().DataRowCount(), 2);
    EXPECT_EQ(form->Melody().Row(2).Duration, 0); // whole note
}

TEST_F(EditorWindowTest, MelodyFileRoundTripThroughTheWindow)
{
    selectKind(skSmart, stMelody);
    form->SetEditorValues(Note(2, 1, 2));
    QTest::mouseClick(ui->Button5, Qt::LeftButton);
    form->SetEditorValues(Note(0, 11, 4, 1, 20, 2, 3));
    QTest::mouseClick(ui->Button5, Qt::LeftButton);
    ui->MelodyName->setText("Two notes");
    const auto rows = form->Melody().Rows();
    ASSERT_EQ(rows.size(), 4u);
    const QString file = dir.filePath("m.txt");
    form->SaveMelody(file);
    QTest::mouseClick(ui->Button6, Qt::LeftButton); // current row is the pending one: no change
    form->Melody().Reset();
    ui->MelodyName->clear();
    form->LoadMelody(file);
    EXPECT_EQ(form->Melody().Rows(), rows);
    EXPECT_EQ(ui->MelodyName->text(), "Two notes");
    ASSERT_EQ(ui->MelodyGrid->rowCount(), 3);
    EXPECT_EQ(ui->MelodyGrid->item(1, 1)->text(), "Ais");

    // Double click shows the row in the editors.
    form->Melody().SetCurrentRow(2);
    form->RowToEditors();
    EXPECT_EQ(form->EditorValues(), rows[2]);

    // A one-line file is RTTTL.
    const QString rtttl = dir.filePath("tune.rtttl");
    WriteFile(rtttl, "Tune:d=8,o=5,b=63:c,e\n");
    form->LoadMelody(rtttl);
    EXPECT_EQ(ui->MelodyName->text(), "Tune");
    EXPECT_EQ(form->Melody().DataRowCount(), 2);
    EXPECT_EQ(form->Melody().Row(2).Note, 5);
}

} // namespace

namespace {

TEST_F(EditorWindowTest, RtttlSaveWritesOnlyWhatDiffersFromTheDefaults)
{
    selectKind(skSmart, stMelody);
    form->SetEditorValues(Note(1, 1, 2));
    QTest::mouseClick(ui->Button5, Qt::LeftButton);
    form->SetEditorValues(Note(2, 3, 3));
    QTest::mouseClick(ui->Button5, Qt::LeftButton);
    ui->MelodyName->setText("Song");
    const QString file = dir.filePath("song.rtttl");
    form->SaveMelody(file);
    const QByteArray text = ReadFile(file);
    // The notes keep the defaults section's octave, tempo and style where they can; no line end.
    EXPECT_TRUE(text.startsWith("Song:")) << text.toStdString();
    EXPECT_FALSE(text.endsWith('\n'));
    const QByteArray notes = text.mid(text.lastIndexOf(':') + 1);
    EXPECT_EQ(notes.toStdString(), "c,8d6");
    EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();

    // The instructions of the song: the first one is the first note.
    TSMRingingTone tone;
    tone.SetRTTTL(QString::fromUtf8(text));
    TMelodyTable back;
    back.Assign(MelodyFromRingingTone(tone));
    EXPECT_EQ(back.Rows(), form->Melody().Rows());
}

TEST_F(EditorWindowTest, EmsMelodyTextFromTheTable)
{
    selectKind(skEMS, etSound);
    form->SetEditorValues(Note(2, 1, 2, 0));
    QTest::mouseClick(ui->Button5, Qt::LeftButton);
    EXPECT_EQ(IMelodyText(form->Melody().ToMelody("").Rows), "*5c2");
    EXPECT_EQ(form->MessageContent().Kind, TMessageKind::mkEMSMelody);
    EXPECT_EQ(form->MessageContent().Melody.Rows.size(), 1u);
}

} // namespace

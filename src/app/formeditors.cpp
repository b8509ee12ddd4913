// The SMS tab's picture and melody editors: sizes and frames, files, the melody's rows.
#include "app/gsmkestrelform.h"

#include "app/formparts.h"
#include "app/pictureeditor.h"
#include "base/format.h"
#include "gsm/gsmerror.h"
#include "ui_gsmkestrelform.h"
#include "xsms/melody.h"
#include "xsms/ringtone.h"

#include <QFile>
#include <QSaveFile>

#include <algorithm>

namespace kestrel {

void TGSMKestrelForm::setupMelodyEditor()
{
    QComboBox *editors[kMelodyColumns] = {ui->MelodyScale,     ui->MelodyNote,  ui->MelodyDuration,
                                          ui->MelodyDuration2, ui->MelodyTempo, ui->MelodyStyle,
                                          ui->MelodyVolume};
    ui->MelodyGrid->setColumnCount(kMelodyColumns);
    ui->MelodyGrid->setHorizontalHeaderLabels(MelodyColumnTitles());
    for (int c = 0; c < kMelodyColumns; ++c) {
        editors[c]->addItems(MelodyColumnItems(c));
        editors[c]->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    }
    SetEditorValues(TMelodyTable::HeaderDefaults());
    for (int c = 0; c < kMelodyColumns; ++c)
        ui->MelodyGrid->setColumnWidth(c, editors[c]->sizeHint().width() + ui->melodyEditorLayout->spacing());
    ui->MelodyGrid->setShowGrid(true);
    MelodyToGrid();
}

int TGSMKestrelForm::PictureFrameCount() const
{
    int f = EditNumber(ui->PictureNumAnimations) + (ui->SMSKind->currentIndex() == skSmart ? 1 : 0);
    return std::clamp(f, 1, kMaxFrames);
}

void TGSMKestrelForm::ResizePicture()
{
    const int w = std::clamp(EditNumber(ui->PictureWidth), 0, kMaxPictureSide);
    const int h = std::clamp(EditNumber(ui->PictureHeight), 0, kMaxPictureSide);
    const int frames = PictureFrameCount();
    ui->Picture->SetFrames(frames, w, h);
    // The bitmap holds the frames at 1:1; it only grows, so shrinking the edits loses nothing.
    EnlargePicture(m_picture, frames * w, h);
    ui->Picture->update();
}

void TGSMKestrelForm::LoadPicture(const QString &fileName)
{
    QImage image;
    if (!image.load(fileName))
        throw EGSMError(Format("Cannot read the picture \"%s\"", fileName.toStdString().c_str()));
    m_picture = image.convertToFormat(QImage::Format_RGB32);
    SavePictureDialog->selectFile(fileName);
    ResizePicture();
}

void TGSMKestrelForm::SavePicture(const QString &fileName) const
{
    if (!m_picture.save(fileName, QFileInfo(fileName).suffix().isEmpty() ? "BMP" : nullptr))
        throw EGSMError(Format("Cannot write the picture \"%s\"", fileName.toStdString().c_str()));
}

TMelodyRow TGSMKestrelForm::EditorValues() const
{
    return {ui->MelodyScale->currentIndex(),    ui->MelodyNote->currentIndex(),
            ui->MelodyDuration->currentIndex(), ui->MelodyDuration2->currentIndex(),
            ui->MelodyTempo->currentIndex(),    ui->MelodyStyle->currentIndex(),
            ui->MelodyVolume->currentIndex()};
}

void TGSMKestrelForm::SetEditorValues(const TMelodyRow &v)
{
    QComboBox *editors[kMelodyColumns] = {ui->MelodyScale,     ui->MelodyNote,  ui->MelodyDuration,
                                          ui->MelodyDuration2, ui->MelodyTempo, ui->MelodyStyle,
                                          ui->MelodyVolume};
    for (int c = 0; c < kMelodyColumns; ++c)
        editors[c]->setCurrentIndex(v.Column(c));
}

void TGSMKestrelForm::MelodyToGrid()
{
    QTableWidget *g = ui->MelodyGrid;
    const QSignalBlocker block(g);
    g->setRowCount(m_melody.RowCount() - 1);
    for (int r = 1; r < m_melody.RowCount(); ++r) {
        const bool pending = r == m_melody.RowCount() - 1;
        for (int c = 0; c < kMelodyColumns; ++c) {
            auto *item = g->item(r - 1, c);
            if (!item) {
                item = new QTableWidgetItem;
                g->setItem(r - 1, c, item);
            }
            item->setText(pending ? QString() : MelodyColumnItems(c).value(m_melody.Row(r).Column(c)));
        }
    }
    g->setCurrentCell(m_melody.CurrentRow() - 1, 0);
}

void TGSMKestrelForm::MelodyPlus()
{
    m_melody.Plus(EditorValues(), ui->MelodyInsert->isChecked(), ui->SMSKind->currentIndex() == skEMS);
    MelodyToGrid();
}

void TGSMKestrelForm::MelodyMinus()
{
    m_melody.Minus();
    MelodyToGrid();
}

void TGSMKestrelForm::RowToEditors()
{
    SetEditorValues(m_melody.Row(m_melody.EditorRow()));
}

void TGSMKestrelForm::LoadMelody(const QString &fileName)
{
    QFile f(fileName);
    if (!f.open(QIODevice::ReadOnly))
        throw EGSMError(Format("Cannot read the melody \"%s\"", fileName.toStdString().c_str()));
    QStringList lines = QString::fromUtf8(f.read(kMaxMelodyFile)).split('\n');
    if (!lines.isEmpty() && lines.back().trimmed().isEmpty())
        lines.removeLast();
    for (QString &l : lines)
        if (l.endsWith('\r'))
            l.chop(1);
    const TMelody melody = ReadMelodyFile(lines);
    m_melody.Assign(melody);
    ui->MelodyName->setText(melody.Name);
    MelodyToGrid();
    SaveMelodyDialog->selectFile(fileName);
}

void TGSMKestrelForm::SaveMelody(const QString &fileName)
{
    const TMelody melody = m_melody.ToMelody(ui->MelodyName->text());
    QByteArray data;
    if (QFileInfo(fileName).suffix().toUpper().contains("RTT")) {
        TSMRingingTone tone;
        BuildRingingTone(tone, melody);
        data = tone.RTTTL().toUtf8();
        if (data.isEmpty())
            return;
    } else {
        data = (WriteMelodyFile(melody).join('\n') + '\n').toUtf8();
    }
    QSaveFile f(fileName);
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size() || !f.commit())
        throw EGSMError(Format("Cannot write the melody \"%s\"", fileName.toStdString().c_str()));
}

} // namespace kestrel

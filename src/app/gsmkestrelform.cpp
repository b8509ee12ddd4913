#include "app/gsmkestrelform.h"

#include "app/formparts.h"
#include "app/glyphs.h"
#include "app/operators.h"
#include "base/format.h"
#include "terminal/terminal.h"
#include "ui_gsmkestrelform.h"

#include <QMessageBox>
#include <QMouseEvent>
#include <QTimer>

#include <exception>

// The window's construction and the wiring of its controls and of the data module's messages;
// each tab's handlers are in a file of their own (modemtab, smstab, formeditors, messagesbridge).

namespace kestrel {

TGSMKestrelForm::TGSMKestrelForm(TGSMDataModule &dataModule, const QStringList &arguments, QWidget *parent)
    : QMainWindow(parent), ui(std::make_unique<Ui::GSMKestrelForm>()), m_dm(dataModule),
      m_arguments(arguments)
{
    ui->setupUi(this);
    Confirm = [this](const QString &question) {
        return QMessageBox::question(this, windowTitle(), question, QMessageBox::Yes | QMessageBox::No) ==
               QMessageBox::Yes;
    };
    ShowError = [this](const QString &message) { QMessageBox::critical(this, windowTitle(), message); };
    formCreate();
    connectHandlers();
    m_dm.AddForm(this);
}

TGSMKestrelForm::~TGSMKestrelForm()
{
    // A search ends within its deadline of a few seconds; what it posts is dropped with this window.
    if (m_detectThread.joinable())
        m_detectThread.join();
    m_dm.RemoveForm(this);
    if (m_dm.ModemLogView == ui->ModemLog)
        m_dm.ModemLogView = nullptr;
    if (m_dm.SMSLogView == ui->SMSLog)
        m_dm.SMSLogView = nullptr;
    m_dm.Comm1.OnRxChar = nullptr; // the typing handler refers to this window's view
}

void TGSMKestrelForm::formCreate()
{
    m_dm.ModemLogView = ui->ModemLog;
    m_dm.SMSLogView = ui->SMSLog;
    for (TTerminal *t : {ui->ModemLog, ui->SMSLog}) {
        t->SetMaxLines(30);
        t->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        t->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    }
    ui->PageControl1->setCurrentIndex(kTabModem);
    for (const char *caption : GSMEquipmentCaptions)
        ui->ModemComboBox->addItem(caption);
    setWindowTitle(
        QString::fromStdString(Format("GSM Kestrel [%s]", GSMEquipmentCaptions[m_dm.GSM.Equipment()])));
    ui->IndNetRegStatus->setIcon(GlyphImage(0));
    ui->Semafor->setIcon(GlyphImage(0));
    ui->StatusBar->addPermanentWidget(ui->Semafor);
    ui->StatusBar->installEventFilter(this);
    ui->DCS->setCurrentIndex(2);
    ui->PictureOperator->addItems(OperatorList());

    auto dialog = [this](const char *name, QFileDialog::AcceptMode mode, const QString &title,
                         const QString &suffix, const QStringList &filters) {
        auto *d = new QFileDialog(this, title);
        d->setObjectName(name);
        d->setAcceptMode(mode);
        d->setFileMode(mode == QFileDialog::AcceptSave ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
        d->setDefaultSuffix(suffix);
        if (!filters.isEmpty())
            d->setNameFilters(filters);
        return d;
    };
    const QStringList logFilters{"Log Files (*.log)", "All Files (*)"};
    SMSLogSaveDialog =
        dialog("SMSLogSaveDialog", QFileDialog::AcceptSave, "SMS Log File Selection", "log", logFilters);
    GSMLogSaveDialog = dialog("GSMLogSaveDialog", QFileDialog::AcceptSave, "AT Commands Log File Selection",
                              "log", logFilters);
    const QStringList pictureFilters{"Pictures (*.bmp *.png *.xpm *.pbm *.gif *.jpg)", "All files (*)"};
    OpenPictureDialog =
        dialog("OpenPictureDialog", QFileDialog::AcceptOpen, "Load bitmap", "bmp", pictureFilters);
    SavePictureDialog =
        dialog("SavePictureDialog", QFileDialog::AcceptSave, "Save bitmap", "bmp", pictureFilters);
    OpenMelodyDialog = dialog("OpenMelodyDialog", QFileDialog::AcceptOpen, "Load melody", "txt",
                              {"Text files (*.txt)", "RTTTL files (*.rtt*)", "All files (*)"});
    SaveMelodyDialog = dialog("SaveMelodyDialog", QFileDialog::AcceptSave, "Save melody", "txt",
                              {"Text files (*.txt)", "RTTTL files (*.rtt)", "All files (*)"});

    m_picture = NewPicture(72, 28);
    ui->Picture->SetPicture(&m_picture);
    setupMelodyEditor();
    setupMessagesView();
}

void TGSMKestrelForm::connectHandlers()
{
    auto on = [this](auto *sender, auto signal, std::function<void()> handler) {
        connect(sender, signal, this, [this, handler] { guarded(handler); });
    };
    on(ui->SpeedButton3, &QToolButton::clicked, [this] { SpeedButton3Click(ui->SpeedButton3); });
    on(ui->SpeedButton4, &QToolButton::clicked, [this] { SpeedButton3Click(ui->SpeedButton4); });
    on(ui->SpeedButton1, &QToolButton::clicked, [this] { SpeedButton1Click(); });
    on(ui->IndNetRegStatus, &QToolButton::clicked, [this] { IndNetRegStatusClick(); });
    on(ui->SMSLOGCheckBox, &QCheckBox::clicked, [this] { SMSLOGCheckBoxClick(); });
    on(ui->GSMLOGCheckBox, &QCheckBox::clicked, [this] { GSMLOGCheckBoxClick(); });
    on(ui->SMSLogButton, &QPushButton::clicked, [this] { SMSLogButtonClick(); });
    on(ui->GSMLogButton, &QPushButton::clicked, [this] { GSMLogButtonClick(); });
    on(ui->SMSKind, &QComboBox::currentIndexChanged, [this] { SMSKindChange(); });
    on(ui->SMSKind2, &QComboBox::currentIndexChanged, [this] { SMSKindChange(); });
    on(ui->Blink, &QPushButton::clicked, [this] { BlinkClick(); });
    on(ui->BitBtn1, &QPushButton::clicked, [this] { BitBtn1Click(); });
    on(ui->DetectButton, &QPushButton::clicked, [this] { DetectClick(); });
    on(ui->USSDSend, &QPushButton::clicked, [this] { USSDSendClick(); });
    on(ui->USSDCode, &QLineEdit::returnPressed, [this] { USSDSendClick(); });
    on(ui->USSDReplyButton, &QPushButton::clicked, [this] { USSDReplyClick(); });
    on(ui->USSDReply, &QLineEdit::returnPressed, [this] { USSDReplyClick(); });
    on(ui->USSDEnd, &QPushButton::clicked, [this] { USSDEndClick(); });
    on(ui->Message, &QLineEdit::textChanged, [this] { updateMessageCounter(); });
    ui->ModemLog->OnKeyPress = [this](QObject *sender, char &key) {
        guarded([&] { ModemLogKeyPress(sender, key); });
        key = 0; // a key that failed to go out is not typed into the view either
    };

    // Picture editor.
    on(ui->PictureWidth, &QLineEdit::editingFinished, [this] { ResizePicture(); });
    on(ui->PictureHeight, &QLineEdit::editingFinished, [this] { ResizePicture(); });
    on(ui->Button2, &QPushButton::clicked, [this] {
        if (OpenPictureDialog->exec() == QDialog::Accepted)
            LoadPicture(OpenPictureDialog->selectedFiles().value(0));
    });
    on(ui->Button3, &QPushButton::clicked, [this] {
        if (SavePictureDialog->exec() == QDialog::Accepted)
            SavePicture(SavePictureDialog->selectedFiles().value(0));
    });

    // Melody editor.
    on(ui->Button5, &QPushButton::clicked, [this] { MelodyPlus(); });
    on(ui->Button6, &QPushButton::clicked, [this] { MelodyMinus(); });
    on(ui->MelodyGrid, &QTableWidget::cellDoubleClicked, [this] { RowToEditors(); });
    connect(ui->MelodyGrid, &QTableWidget::currentCellChanged, this,
            [this](int row) { m_melody.SetCurrentRow(row + 1); });
    on(ui->Button1, &QPushButton::clicked, [this] {
        if (OpenMelodyDialog->exec() == QDialog::Accepted)
            LoadMelody(OpenMelodyDialog->selectedFiles().value(0));
    });
    on(ui->Button4, &QPushButton::clicked, [this] {
        if (SaveMelodyDialog->exec() == QDialog::Accepted)
            SaveMelody(SaveMelodyDialog->selectedFiles().value(0));
    });
    for (QComboBox *c : {ui->MelodyScale, ui->MelodyNote})
        connect(c, &QComboBox::currentIndexChanged, this, [this] {
            ui->MelodyKeyboard->SetSelection(ui->MelodyScale->currentIndex(), ui->MelodyNote->currentIndex());
        });
    ui->MelodyKeyboard->OnKeyDown = [this](int scale, int note) {
        ui->MelodyScale->setCurrentIndex(scale);
        ui->MelodyNote->setCurrentIndex(note);
    };
    ui->MelodyKeyboard->OnKeyUp = [this](int duration) {
        guarded([&] {
            ui->MelodyDuration->setCurrentIndex(duration);
            MelodyPlus();
        });
    };
}

void TGSMKestrelForm::guarded(const std::function<void()> &handler)
{
    try {
        handler();
    } catch (const std::exception &e) {
        if (ShowError)
            ShowError(QString::fromStdString(e.what()));
    } catch (...) {
        // Escaping into the event loop would end the program.
        if (ShowError)
            ShowError("Unknown error");
    }
}

void TGSMKestrelForm::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (!m_shown) {
        m_shown = true;
        guarded([this] { formShow(); });
    }
}

void TGSMKestrelForm::formShow()
{
    EngineToControls();
    ui->SMSKind->setCurrentIndex(0);
    SMSKindChange();
    for (const QString &a : m_arguments.mid(1))
        if (a.size() > 1 && (a[0] == '-' || a[0] == '/') &&
            a.mid(1).compare("START", Qt::CaseInsensitive) == 0) {
            // Once the event loop runs: a window closed during the login (a signal) must be able
            // to end the loop, which it cannot before the loop has started.
            QTimer::singleShot(0, this, [this] { guarded([this] { SpeedButton3Click(ui->SpeedButton3); }); });
            break;
        }
    showHint(kOwnHint);
}

bool TGSMKestrelForm::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->StatusBar && event->type() == QEvent::MouseButtonPress)
        StatusBarClick();
    return QMainWindow::eventFilter(watched, event);
}

void TGSMKestrelForm::showHint(const QString &hint)
{
    ui->StatusBar->showMessage(hint.section('|', 0, 0));
}

void TGSMKestrelForm::StatusBarClick()
{
    showHint(kOwnHint);
}

void TGSMKestrelForm::HandleMessage(int Msg, long long WParam, const TSMS *)
{
    if (Msg == kMsgRegistration)
        setRegistration(static_cast<int>(WParam));
    else if (Msg == kMsgEngineState)
        setEngineState(static_cast<int>(WParam));
    else if (Msg == kMsgSMSProcessed)
        // The message is in the store by now: the Messages tab shows it.
        guarded([this] { refreshMessages(); });
}

} // namespace kestrel

#include "app/screenshottour.h"

#include "app/gsmkestrelform.h"
#include "app/messagesview.h"
#include "app/welcomemessages.h"
#include "ui_gsmkestrelform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFont>
#include <QListView>
#include <QPainter>
#include <QPixmap>

#include <cstdio>

namespace kestrel {

namespace {

constexpr int kPollMs = 100;
constexpr int kStepTimeoutMs = 30000;

// A picture for the editor: a frame and a word, drawn without smoothing so that every pixel is
// either set or not, as the editor shows them.
void drawPicture(QImage &picture)
{
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setRenderHint(QPainter::TextAntialiasing, false);
    painter.fillRect(QRect(0, 0, 72, 28), Qt::white);
    painter.setPen(Qt::black);
    painter.drawRect(0, 0, 71, 27);
    QFont font("DejaVu Sans", 8, QFont::Bold);
    font.setPixelSize(11);
    font.setStyleStrategy(QFont::NoAntialias);
    painter.setFont(font);
    painter.drawText(QRect(2, 2, 68, 24), Qt::AlignCenter, "Kestrel");
}

} // namespace

TScreenshotTour::TScreenshotTour(TGSMKestrelForm &form, const QString &directory,
                                 const std::string &ownNumber)
    : m_form(form), m_directory(directory), m_ownNumber(ownNumber)
{
    auto *ui = form.UI();
    auto showTab = [ui](QWidget *tab) { ui->PageControl1->setCurrentWidget(tab); };
    m_steps = {
        {"modem.png",
         [ui, showTab] {
             ui->SpeedButton3->click();    // On: logs in on the virtual handset
             ui->IndNetRegStatus->click(); // asks the signal strength
             showTab(ui->TabSheet1);
             ui->USSDCode->setText("*100#"); // and the balance
             ui->USSDSend->click();
         },
         [this, ui] {
             return m_form.DataModule().GSM.Active() && !ui->ManufacturerId->toPlainText().isEmpty() &&
                    !ui->USSDAnswer->toPlainText().isEmpty();
         }},
        {"sms.png",
         [this, ui, showTab] {
             showTab(ui->TabSheet5);
             ui->SMSKind->setCurrentIndex(1);  // smart message
             ui->SMSKind2->setCurrentIndex(0); // picture
             ui->DA->setText(QString::fromStdString(m_ownNumber));
             ui->Message->setText("Greetings from GSM Kestrel");
             drawPicture(m_form.Picture());
             m_form.ResizePicture();
         },
         [] { return true; }},
        {"smslog.png",
         [ui, showTab] {
             ui->BitBtn1->click(); // Send, to the handset's own number: it comes back
             showTab(ui->TabSheet6);
         },
         [this] { return smsLog().contains(" complete"); }},
        {"messages.png",
         [this, showTab] {
             // As a user looks at it: the window has the focus, so the open conversation is read.
             m_form.activateWindow();
             showTab(m_form.MessagesView());
         },
         [this] {
             // The handset's conversation with the picture message sent and come back; shown
             // from its first picture on (a picture, a logo, texts in other scripts, a melody).
             TMessagesView *view = m_form.MessagesView();
             TThreadModel &thread = view->Thread();
             if (thread.rowCount() < static_cast<int>(WelcomeContents().size()) + 2)
                 return false;
             for (int row = 0; row < thread.rowCount(); ++row)
                 if (!thread.Rendered(row).Pictures.empty()) {
                     view->ThreadList()->scrollTo(thread.index(row), QAbstractItemView::PositionAtTop);
                     break;
                 }
             return true;
         }},
        {"modemlog.png", [ui, showTab] { showTab(ui->TabSheet7); }, [] { return true; }},
    };
    m_timer.setInterval(kPollMs);
    connect(&m_timer, &QTimer::timeout, this, &TScreenshotTour::poll);
}

void TScreenshotTour::Start()
{
    if (!QDir().mkpath(m_directory))
        return fail("cannot create " + m_directory);
    // Nothing may wait for a person: a question is answered yes, a failure ends the tour.
    m_form.Confirm = [](const QString &) { return true; };
    m_form.ShowError = [this](const QString &message) { fail(message); };
    QTimer::singleShot(0, this, &TScreenshotTour::next);
}

QString TScreenshotTour::smsLog() const
{
    m_form.UI()->SMSLog->Flush();
    return m_form.UI()->SMSLog->toPlainText();
}

void TScreenshotTour::next()
{
    if (m_current == m_steps.size()) {
        m_form.close();
        return;
    }
    m_waited = 0;
    m_steps[m_current].act();
    if (m_current < m_steps.size()) // a failing action ends the tour
        m_timer.start();
}

void TScreenshotTour::poll()
{
    const TStep &step = m_steps[m_current];
    if (!step.ready()) {
        m_waited += kPollMs;
        if (m_waited >= kStepTimeoutMs)
            fail(step.file + ": the window did not get there within 30 s");
        return;
    }
    m_timer.stop();
    const QString path = QDir(m_directory).filePath(step.file);
    if (!m_form.grab().save(path, "PNG"))
        return fail("cannot write " + path);
    std::fprintf(stderr, "gsm-kestrel: %s\n", qPrintable(path));
    ++m_current;
    next();
}

void TScreenshotTour::fail(const QString &message)
{
    std::fprintf(stderr, "gsm-kestrel: screenshots: %s\n", qPrintable(message));
    m_timer.stop();
    m_current = m_steps.size();
    QCoreApplication::exit(1);
}

} // namespace kestrel

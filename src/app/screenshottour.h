// TScreenshotTour: drives the window through what README's screenshots show and saves one PNG per
// step: the Modem tab after login on the virtual handset, the SMS tab with a picture message in
// the editor, the SMS log after that message went to the handset's own number and came back, the
// Messages tab with the handset's conversation, and the Modem log. It clicks the window's own buttons, so the
// pictures show the real thing. A step is one entry of a list (what to do, when the window is ready, which
// file), so another tab is one more step. gsm-kestrel runs it with --screenshots DIR (scripts/screenshots).
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <string>
#include <vector>

namespace kestrel {

class TGSMKestrelForm;

class TScreenshotTour : public QObject {
    Q_OBJECT
public:
    // Sends to OwnNumber (the virtual handset's number); writes the PNGs into Directory.
    TScreenshotTour(TGSMKestrelForm &form, const QString &directory, const std::string &ownNumber);

    // Runs the steps from the event loop, then closes the window; a step that fails or whose
    // window is not ready within 30 s ends the application with exit status 1.
    void Start();

private:
    struct TStep {
        QString file;                // PNG name in the directory
        std::function<void()> act;   // what the user does
        std::function<bool()> ready; // the window shows the result
    };

    void next();
    void poll();
    void fail(const QString &message);
    // The SMS log as shown, after pending lines were applied.
    QString smsLog() const;

    TGSMKestrelForm &m_form;
    QString m_directory;
    std::string m_ownNumber;
    std::vector<TStep> m_steps;
    size_t m_current = 0;
    int m_waited = 0; // milliseconds the current step has waited
    QTimer m_timer;
};

} // namespace kestrel

// TMessageDelegate draws the messages of a thread as bubbles (received on the left, sent on the
// right): what the message is, its text laid out in its own direction, its pictures scaled by whole
// pixels so they stay sharp (an animation at its current frame), a melody's title and notes with
// Play and Open in melody editor, Open in picture editor under each picture, the time, and the
// delivery status of a sent message. One layout serves painting, sizing and hit-testing.
#pragma once

#include "app/threadmodel.h"

#include <QStyledItemDelegate>

#include <vector>

namespace kestrel {

enum class TMessageAction { maNone, maPlay, maOpenMelody, maOpenPicture };

struct TMessageHit {
    TMessageAction Action = TMessageAction::maNone;
    int Picture = -1; // the picture under the point or its button; -1 for none
};

// Where everything of one message goes, relative to the item's rectangle.
struct TBubbleLayout {
    QRect Bubble;
    QRect Peer; // search hits: who it is from or to
    QRect Title;
    QRect Progress;
    QRect Text;
    std::vector<QRect> Pictures;     // scaled
    std::vector<QRect> OpenPictures; // one button under each picture
    QRect Notes;
    QRect Play;
    QRect OpenMelody;
    QRect Problem;
    QRect Meta;    // time and status
    int Scale = 1; // the pictures' whole-pixel scale
    int Height = 0;
};

class TMessageDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit TMessageDelegate(const TThreadModel &model, QObject *parent = nullptr);

    // The width the bubbles are laid out for (the view's viewport).
    void SetWidth(int width) { m_width = width; }
    // The clock of the animations, in milliseconds.
    void SetClock(qint64 ms) { m_clockMs = ms; }
    // Whether there is an audio device, and which message plays now (0: none).
    void SetAudio(bool available, int64_t playingId)
    {
        m_audio = available;
        m_playingId = playingId;
    }
    // Search hits name their peer.
    void SetShowPeer(bool on) { m_showPeer = on; }

    TBubbleLayout Layout(const QRect &item, int row, const QFont &font) const;
    TMessageHit HitTest(const QRect &item, int row, const QFont &font, const QPoint &point) const;
    // The largest whole-pixel scale at which a picture fits the room (at least 1).
    static int PictureScale(const QSize &picture, const QSize &room);
    QString PlayCaption(int64_t id) const;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    bool editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                     const QModelIndex &index) override;

signals:
    void ActionTriggered(int row, TMessageAction action, int picture);

private:
    const TThreadModel &m_model;
    int m_width = 400;
    qint64 m_clockMs = 0;
    bool m_audio = false;
    int64_t m_playingId = 0;
    bool m_showPeer = false;
};

// Text laid out in its own direction (right to left when its first strong character is), wrapped
// to width: its height, and drawing it.
int TextHeight(const QString &text, const QFont &font, int width);
int TextWidth(const QString &text, const QFont &font);
void DrawText(QPainter &painter, const QRect &rect, const QString &text, const QFont &font);

} // namespace kestrel

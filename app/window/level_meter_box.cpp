#include "app/window/level_meter_box.h"

#include <QFrame>
#include <QPainter>

#include <algorithm>

namespace squeakbox {
namespace {

// The filled part of the bar and the rest of it.
const QColor level_colour(0, 200, 0);
const QColor blank_colour(255, 255, 255);

class level_meter_frame final : public QFrame {
  public:
    explicit level_meter_frame(QWidget* parent) : QFrame(parent) {
        // A thin black line around the box, the bar inside it.
        setFrameStyle(QFrame::Box | QFrame::Plain);
        setLineWidth(1);
        setAutoFillBackground(false);
    }

    int split = 0;

  protected:
    void paintEvent(QPaintEvent* event) override {
        QFrame::paintEvent(event);
        QPainter painter(this);
        const QRect inner = contentsRect();
        const int at = inner.left() + std::clamp(split, 0, inner.width());
        painter.fillRect(QRect(inner.left(), inner.top(), at - inner.left(), inner.height()),
                         level_colour);
        painter.fillRect(QRect(at, inner.top(), inner.right() + 1 - at, inner.height()),
                         blank_colour);
    }
};

}  // namespace

QWidget* create_level_meter_box(QWidget* parent) {
    auto* box = new level_meter_frame(parent);
    box->hide();
    return box;
}

int level_meter_inner_width(const QWidget* box) {
    return static_cast<const level_meter_frame*>(box)->contentsRect().width();
}

void show_level_split(QWidget* box, int split) {
    auto* frame = static_cast<level_meter_frame*>(box);
    if (frame->split == split) return;
    frame->split = split;
    // Painting waits for the event loop: the block goes on to the recorder
    // and the device at once, and several blocks between two frames of the
    // screen cost one paint.
    frame->update();
}

int shown_level_split(const QWidget* box) {
    return static_cast<const level_meter_frame*>(box)->split;
}

}  // namespace squeakbox

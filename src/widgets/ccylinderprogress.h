#pragma once
// The progress bar of the pages: a lying cylinder, the done part in the accent colour and
// the rest in a quiet grey, each shaded as a tube.
#include <QColor>
#include <QProgressBar>

class CCylinderProgress : public QProgressBar {
    Q_OBJECT
public:
    explicit CCylinderProgress(QWidget* parent = nullptr);
    // The colours of the done part and of the rest (the accent blue on quiet grey unless set).
    void SetColours(const QColor& done, const QColor& rest);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_done {0x2f, 0x7d, 0xc8};
    QColor m_rest {0xc9, 0xd1, 0xda};
};

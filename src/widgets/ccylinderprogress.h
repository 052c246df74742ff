#pragma once
// The progress bar of the pages: a lying cylinder, the done part in the accent colour and
// the rest in a quiet grey, each shaded as a tube.
#include <QProgressBar>

class CCylinderProgress : public QProgressBar {
    Q_OBJECT
public:
    explicit CCylinderProgress(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

#pragma once
// The About box: the program's name, "Version %d.%d" from its own version (set once in
// CMake) and the maker's web site as a link.
#include <QDialog>
#include <QString>

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(const QString& version, QWidget* parent = nullptr);
    // "Version 3.0" for "3.0.0.1".
    static QString VersionText(const QString& version);
};

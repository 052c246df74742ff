#pragma once
// What every page is made of: the program's colours, its rounded buttons, field labels,
// the list controls filled from the card document's list views.
#include <QColor>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QTreeWidget>

#include <cstdint>

#include "device/cdrivedoc.h"

namespace PageColour {
const QColor Accent(0x2f, 0x7d, 0xc8);      // buttons, links, the selected row
const QColor Text(0x1d, 0x26, 0x31);        // headings and values
const QColor Muted(0x5b, 0x67, 0x75);       // field labels
const QColor Line(0xd9, 0xde, 0xe4);        // frames of lists and boxes
const QColor CategoryText(0, 0, 200);       // the file-type page's category headings
}  // namespace PageColour

// A button in the program's rounded style; its accessible name is its text without the
// mnemonic mark.
QPushButton* RoundButton(const QString& text, const QString& tip, QWidget* parent);
// A quiet button for a page's secondary commands (Select, Open, Keep All...).
QPushButton* PageButton(const QString& text, QWidget* parent);
// A field label ("Total Size:") and the value beside it; the value's accessible name is
// the label's text, so a screen reader reads both.
QLabel* FieldLabel(const QString& text, QWidget* parent);
QLabel* ValueLabel(const QString& label, QWidget* parent, int pixelSize = 13);
// Makes a label one that shows a value: assistive technology names it by the caption and
// reads the value as its description and text.
void MarkValueLabel(QLabel* label, const QString& caption);
// A report-style list in the page's look: no tree decoration, whole rows selected.
QTreeWidget* ReportList(const QString& name, QWidget* parent);
// Fills a report list from a list view of the document: the columns with their titles
// and widths, one item per row with the row's drive letter as its user value, and the
// view's selected row current. Signals are blocked while it fills.
void FillListControl(QTreeWidget* list, const CListView& view);

// The short form of a folder that a page shows: the home folder as "~", the middle of a
// path too long for width pixels in the given font left out.
QString ShortFolderText(const QString& folder, const QFontMetrics& metrics, int width);

// The byte-count text of the pages ("%.1f GB" ... "%.1f B").
QString SizeQText(uint64_t bytes);

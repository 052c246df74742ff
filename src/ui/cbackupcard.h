#pragma once
// Menu > Back Up Card to Image...: the selected card copied into an image file with its
// map beside it (tools/cardbackup.h). A file dialog in the card backup folder chooses the
// image (an image that has its map goes on where it stopped), a progress dialog shows
// the bytes copied, bad and not tried, and its Cancel stops the backup between two
// requests. The status line says how it ended and where the image is.
#include <QString>

class CDriveDoc;
class CWizardServices;
class QWidget;

// Into the settings' card backup folder. False when nothing was started (no card
// selected, no file chosen).
bool BackUpCardToImage(CDriveDoc& doc, CWizardServices& services, QWidget* parent);
